#include "service/capture/UdpSource.h"
#include "service/capture/SourceSocket.h"
#include "service/core/ReportServiceEvent.h"

#include <string.h>

static SOCKET Receiver = INVALID_SOCKET;
static BYTE Datagram[DATAGRAM_SIZE];
static DWORD DatagramLength, DatagramTaken;

int StartUdpSource()
{
    int error = 0;
    DatagramLength = DatagramTaken = 0;
    Receiver = BindSourceSocket(SOCK_DGRAM, &error);
    if (Receiver == INVALID_SOCKET) {
        ReportServiceEvent("Could not receive on \"%s\" (error %d%s)", EVENTLOG_ERROR_TYPE, SourceName, error,
                           SocketErrorMeaning(error));
        return 0;
    }
    // Datagrams wait in the socket while the service is paused; a sender
    // does not wait for us as a TCP one does, so the system keeps more.
    int buffer = UDP_RECEIVE_BUFFER_SIZE;
    setsockopt(Receiver, SOL_SOCKET, SO_RCVBUF, (const char *)&buffer, sizeof buffer);
    return 1;
}

DWORD StepUdpSource(BYTE *buffer, DWORD size)
{
    DWORD total = 0;
    while (total < size) {
        if (DatagramTaken == DatagramLength) {
            sockaddr_storage from;
            int length = sizeof from;
            int got = recvfrom(Receiver, (char *)Datagram, sizeof Datagram, 0, (sockaddr *)&from, &length);
            if (got < 0) {
                // A report of an ICMP message (Windows gives one for an
                // earlier send; there are none) is no data; anything else,
                // or nothing more, ends the step.
                if (WSAGetLastError() == WSAECONNRESET)
                    continue;
                break;
            }
            // An empty datagram carries nothing.
            if (got == 0 || !SenderAllowed(&from, "A datagram"))
                continue;
            DatagramLength = (DWORD)got;
            DatagramTaken = 0;
        }
        DWORD count = DatagramLength - DatagramTaken;
        if (count > size - total)
            count = size - total;
        memcpy(buffer + total, Datagram + DatagramTaken, count);
        DatagramTaken += count;
        total += count;
    }
    return total;
}

void CloseUdpSource()
{
    if (Receiver != INVALID_SOCKET)
        closesocket(Receiver);
    Receiver = INVALID_SOCKET;
}
