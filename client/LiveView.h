// The live view of one instance: a window that follows the instance's current
// log as it grows (LogFollower.h): the last lines on open, new lines as they
// come, across a rotation; as text or as hex; a pause that freezes the display
// (not the capture); copy of a selection. One window per instance, kept for
// the program's run and shown again when asked for again.
#pragma once

#include "client/instances/LogFollower.h"
#include "client/window/FrameWindow.h"

// The received bytes the view keeps (and shows as text); of them, the last
// ones the hex view shows.
#define LIVE_KEPT_BYTES 65536
#define LIVE_HEX_BYTES  8192
#define LIVE_TIMER_ID     1
#define LIVE_TIMER_PERIOD 500

class CLiveView : public CFrameWindow {
public:
    // Opens (or brings up) the view of instance N, whose log is logFilename.
    static void Open(HINSTANCE instance, int n, const char *logFilename);

    virtual int QueryCommand(UINT id, CommandState *state);
    virtual void RunCommand(UINT id);

protected:
    virtual int OnCreate();
    virtual void OnDestroy();
    virtual int OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result);

private:
    CLiveView();
    void Follow();
    void Keep(const BYTE *data, DWORD count);
    void Show(const BYTE *data, DWORD count);
    void ShowAll();
    void ShowState();

    LogFollower m_Follower;
    HWND m_Text;
    HFONT m_Font;
    int m_Hex;
    int m_Paused;
    int m_AfterCarriageReturn;
    BYTE m_Kept[LIVE_KEPT_BYTES];
    DWORD m_KeptLength;
};
