#include "common/mail/SmtpChannel.h"

#include "common/net/SocketIo.h"
#include "common/net/TlsStream.h"

int ChannelSend(SmtpChannel *channel, const char *data, int length)
{
    if (channel->Tls != NULL)
        return TlsSend(channel->Tls, data, length);
    return SendAll(channel->Socket, data, length);
}

int ChannelReceive(SmtpChannel *channel, char *buffer, int size, DWORD start, DWORD timeoutMs)
{
    if (channel->Tls != NULL)
        return TlsReceive(channel->Tls, buffer, size, start, timeoutMs);
    if (!WaitReadable(channel->Socket, start, timeoutMs))
        return 0;
    int received = recv(channel->Socket, buffer, size, 0);
    return received > 0 ? received : 0;
}

void ChannelDiscard(SmtpChannel *channel)
{
    if (channel->Tls != NULL)
        TlsDiscardReceived(channel->Tls);
}
