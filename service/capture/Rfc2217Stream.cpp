#include "service/capture/Rfc2217Stream.h"
#include "common/settings/Parameters.h"

#include <string.h>

enum TelnetState { InData = 0, AfterIac, AfterVerb, InSub, InSubAfterIac };
enum OptionState { OptionOff = 0, OptionAsked = 1, OptionOn = 2 };

static void AppendReply(Rfc2217Stream *s, const BYTE *bytes, DWORD count)
{
    // A server that floods us with requests gets no answer to the excess:
    // nothing it can send makes us use more than the fixed buffer.
    if (count > TELNET_REPLY_SIZE - s->ReplyLength)
        return;
    memcpy(s->Reply + s->ReplyLength, bytes, count);
    s->ReplyLength += count;
}

static void SendVerb(Rfc2217Stream *s, BYTE verb, BYTE option)
{
    BYTE command[3] = {TELNET_IAC, verb, option};
    AppendReply(s, command, sizeof command);
}

// IAC SB COM-PORT-OPTION command value... IAC SE, each 0xFF of the value doubled.
static void SendComPortCommand(Rfc2217Stream *s, BYTE command, const BYTE *value, DWORD length)
{
    BYTE buffer[4 + 2 * 4 + 2];
    DWORD n = 0;
    buffer[n++] = TELNET_IAC;
    buffer[n++] = TELNET_SB;
    buffer[n++] = TELNET_OPTION_COM_PORT;
    buffer[n++] = command;
    for (DWORD i = 0; i < length && i < 4; i++) {
        buffer[n++] = value[i];
        if (value[i] == TELNET_IAC)
            buffer[n++] = TELNET_IAC;
    }
    buffer[n++] = TELNET_IAC;
    buffer[n++] = TELNET_SE;
    AppendReply(s, buffer, n);
}

static void SendComPortByte(Rfc2217Stream *s, BYTE command, BYTE value) { SendComPortCommand(s, command, &value, 1); }

// SET-CONTROL values (RFC 2217): outbound and inbound flow control, DTR and RTS.
enum {
    ControlOutNone = 1, ControlOutXonXoff = 2, ControlOutHardware = 3,
    ControlDtrOn = 8, ControlRtsOn = 11,
    ControlInNone = 14, ControlInXonXoff = 15, ControlInHardware = 16,
    ControlInDtr = 18, ControlOutDsr = 19
};

// The port settings, once the server has agreed to the com port option. As
// for a COM port, DTR and RTS stay on unless they carry the flow control.
static void SendPortSettings(Rfc2217Stream *s)
{
    const SerialSettings &p = s->Settings;
    BYTE baud[4] = {(BYTE)(p.BaudRate >> 24), (BYTE)(p.BaudRate >> 16), (BYTE)(p.BaudRate >> 8), (BYTE)p.BaudRate};
    SendComPortCommand(s, COM_PORT_SET_BAUDRATE, baud, 4);
    SendComPortByte(s, COM_PORT_SET_DATASIZE, (BYTE)p.ByteSize);
    SendComPortByte(s, COM_PORT_SET_PARITY, (BYTE)(p.Parity + 1));   // 1 none ... 5 space
    static const BYTE StopSize[3] = {1, 3, 2};                          // 1, 1.5, 2 stop bits
    SendComPortByte(s, COM_PORT_SET_STOPSIZE, StopSize[p.StopBits < 3 ? p.StopBits : 0]);
    static const BYTE Outbound[FLOW_CONTROL_COUNT] = {ControlOutNone, ControlOutHardware, ControlOutDsr,
                                                      ControlOutXonXoff};
    static const BYTE Inbound[FLOW_CONTROL_COUNT] = {ControlInNone, ControlInHardware, ControlInDtr,
                                                     ControlInXonXoff};
    DWORD flow = p.FlowControl < FLOW_CONTROL_COUNT ? p.FlowControl : (DWORD)FlowNone;
    SendComPortByte(s, COM_PORT_SET_CONTROL, Outbound[flow]);
    SendComPortByte(s, COM_PORT_SET_CONTROL, Inbound[flow]);
    if (flow != FlowDtrDsr)
        SendComPortByte(s, COM_PORT_SET_CONTROL, ControlDtrOn);
    if (flow != FlowRtsCts)
        SendComPortByte(s, COM_PORT_SET_CONTROL, ControlRtsOn);
    SendComPortByte(s, COM_PORT_SET_LINESTATE_MASK, LINESTATE_OVERRUN | LINESTATE_PARITY | LINESTATE_FRAMING);
    SendComPortByte(s, COM_PORT_SET_MODEMSTATE_MASK, 0);
}

void StartRfc2217Stream(Rfc2217Stream *s, const SerialSettings &settings)
{
    memset(s, 0, sizeof *s);
    s->Settings = settings;
    // Binary both ways, so that a CR is not followed by a NUL and 0xFF needs
    // no more than its doubling; no go-ahead; and the com port option.
    static const BYTE Asked[] = {TELNET_OPTION_BINARY, TELNET_OPTION_SGA};
    for (size_t i = 0; i < sizeof Asked; i++) {
        s->Ours[Asked[i]] = s->Theirs[Asked[i]] = OptionAsked;
        SendVerb(s, TELNET_WILL, Asked[i]);
        SendVerb(s, TELNET_DO, Asked[i]);
    }
    s->Ours[TELNET_OPTION_COM_PORT] = OptionAsked;
    SendVerb(s, TELNET_WILL, TELNET_OPTION_COM_PORT);
}

static BOOL WeOffer(BYTE option)
{
    return option == TELNET_OPTION_BINARY || option == TELNET_OPTION_SGA || option == TELNET_OPTION_COM_PORT;
}

static BOOL WeAccept(BYTE option) { return option == TELNET_OPTION_BINARY || option == TELNET_OPTION_SGA; }

// One option command of the server. An answer goes out only when a state
// changes, so two sides can never keep answering each other.
static void Negotiate(Rfc2217Stream *s, BYTE verb, BYTE option)
{
    BYTE *theirs = &s->Theirs[option];
    BYTE *ours = &s->Ours[option];
    switch (verb) {
    case TELNET_WILL:
        if (!WeAccept(option))
            SendVerb(s, TELNET_DONT, option);
        else if (*theirs != OptionOn) {
            if (*theirs == OptionOff)
                SendVerb(s, TELNET_DO, option);
            *theirs = OptionOn;
        }
        break;
    case TELNET_WONT:
        if (*theirs == OptionOn)
            SendVerb(s, TELNET_DONT, option);
        *theirs = OptionOff;
        break;
    case TELNET_DO:
        if (!WeOffer(option)) {
            SendVerb(s, TELNET_WONT, option);
        } else if (*ours != OptionOn) {
            if (*ours == OptionOff)
                SendVerb(s, TELNET_WILL, option);
            *ours = OptionOn;
            if (option == TELNET_OPTION_COM_PORT)
                SendPortSettings(s);
        }
        break;
    case TELNET_DONT:
        if (*ours == OptionOn)
            SendVerb(s, TELNET_WONT, option);
        *ours = OptionOff;
        if (option == TELNET_OPTION_COM_PORT)
            s->ComPortRefused = TRUE;
        break;
    }
}

// A whole subnegotiation: of the com port option's answers only the line
// state matters here (what the server's port lost).
static void EndSubnegotiation(Rfc2217Stream *s)
{
    if (!s->SubTooLong && s->SubLength >= 3 && s->Sub[0] == TELNET_OPTION_COM_PORT &&
        s->Sub[1] == COM_PORT_SERVER_OFFSET + COM_PORT_NOTIFY_LINESTATE) {
        BYTE state = s->Sub[2];
        if (state & LINESTATE_OVERRUN)
            s->LineErrors |= CE_OVERRUN;
        if (state & LINESTATE_PARITY)
            s->LineErrors |= CE_RXPARITY;
        if (state & LINESTATE_FRAMING)
            s->LineErrors |= CE_FRAME;
    }
    s->SubLength = 0;
    s->SubTooLong = FALSE;
}

static void KeepSubByte(Rfc2217Stream *s, BYTE b)
{
    if (s->SubLength < TELNET_SUB_SIZE)
        s->Sub[s->SubLength++] = b;
    else
        s->SubTooLong = TRUE;
}

// The byte after an IAC.
static void CommandByte(Rfc2217Stream *s, BYTE b, BYTE *data, DWORD *kept)
{
    s->State = InData;
    if (b == TELNET_IAC) {
        data[(*kept)++] = b;   // an escaped 0xFF is data
        s->AfterCr = FALSE;
    } else if (b >= TELNET_WILL && b <= TELNET_DONT) {
        s->Verb = b;
        s->State = AfterVerb;
    } else if (b == TELNET_SB) {
        s->SubLength = 0;
        s->SubTooLong = FALSE;
        s->State = InSub;
    }
    // Any other command (NOP, GA, a stray SE, ...) carries no data.
}

DWORD FilterRfc2217(Rfc2217Stream *s, BYTE *data, DWORD count)
{
    DWORD kept = 0;
    for (DWORD i = 0; i < count; i++) {
        BYTE b = data[i];
        switch (s->State) {
        case InData:
            if (b == TELNET_IAC) {
                s->State = AfterIac;
                break;
            }
            // Without binary mode the server sends a CR alone as CR NUL (RFC 854).
            if (b == 0 && s->AfterCr && s->Theirs[TELNET_OPTION_BINARY] != OptionOn) {
                s->AfterCr = FALSE;
                break;
            }
            s->AfterCr = b == '\r';
            data[kept++] = b;
            break;
        case AfterIac:
            CommandByte(s, b, data, &kept);
            break;
        case AfterVerb:
            Negotiate(s, s->Verb, b);
            s->State = InData;
            break;
        case InSub:
            if (b == TELNET_IAC)
                s->State = InSubAfterIac;
            else
                KeepSubByte(s, b);
            break;
        case InSubAfterIac:
            if (b == TELNET_IAC) {
                KeepSubByte(s, b);
                s->State = InSub;
            } else if (b == TELNET_SE) {
                EndSubnegotiation(s);
                s->State = InData;
            } else {
                // A command inside a subnegotiation ends it (RFC 855 leaves
                // this open); the command is taken as such.
                EndSubnegotiation(s);
                CommandByte(s, b, data, &kept);
            }
            break;
        }
    }
    return kept;
}
