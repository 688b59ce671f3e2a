// Shared set-up of the configuration program's logic tests: they run under
// Wine against the real registry and Service Control Manager, so each test
// starts from a system without Quillbox services and leaves none behind.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <string>

#include "client/instances/InstanceCommands.h"
#include "client/instances/InstanceStore.h"

struct RecordedMessages {
    int Count;
    std::string Text;
    std::string Caption;
    UINT Type;
};
extern RecordedMessages Messages;

// Folder of the running test program, with its trailing backslash.
std::string ProgramFolder();

// Stops (bounded), deletes and forgets the service Quillbox<N>, its keys
// and its event source.
void RemoveInstanceFromSystem(int n);
void RemoveAllInstancesFromSystem();

// Installs Quillbox<N> directly (not through the program) with the given
// command line, as another tool would, with empty Parameters/Port1 keys.
void InstallService(int n, const std::string &commandLine, DWORD startType = SERVICE_DEMAND_START);

// Waits (bounded) for a service to reach a state; returns the last state.
DWORD WaitForServiceState(int n, DWORD state, DWORD timeoutMs);
DWORD ServiceState(int n);
int ServiceExists(int n);
// The service manager removes a deleted service only once its process has
// ended, which comes a moment after the process reported it stopped: waits
// up to `timeoutMs` for that. True when it is gone.
bool WaitForServiceGone(int n, DWORD timeoutMs);
int KeyExists(const std::string &path);

std::string ParametersKeyPath(int n);
std::string PortKeyPath(int n);
std::string EventSourceKeyPath(int n);

class ClientSystemTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};
