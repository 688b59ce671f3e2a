#include "client/LiveView.h"

#include <stdio.h>
#include <string.h>

#include "client/instances/InstanceSettings.h"
#include "client/resource.h"

static CLiveView *Views[MAX_INSTANCES + 1];

CLiveView::CLiveView() : m_Text(NULL), m_Font(NULL), m_Hex(0), m_Paused(0), m_AfterCarriageReturn(0), m_KeptLength(0)
{
    memset(&m_Follower, 0, sizeof m_Follower);
}

void CLiveView::Open(HINSTANCE instance, int n, const char *logFilename)
{
    if (!IsInstanceNumber(n))
        return;
    CLiveView *view = Views[n];
    if (view != NULL && view->Handle() != NULL) {
        ShowWindow(view->Handle(), SW_SHOWNORMAL);
        SetForegroundWindow(view->Handle());
        return;
    }
    // Kept for the run: a window closed and opened again reuses it.
    if (view == NULL)
        view = Views[n] = new CLiveView();
    view->m_Hex = view->m_Paused = view->m_AfterCarriageReturn = 0;
    view->m_KeptLength = 0;
    StartFollowing(&view->m_Follower, n, logFilename);
    if (!view->Create(instance, IDR_LIVEVIEW, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN))
        return;
    char title[64];
    snprintf(title, sizeof title, "Live Data - Instance %d", n);
    SetWindowTextA(view->Handle(), title);
    ShowWindow(view->Handle(), SW_SHOWNORMAL);
    view->Follow();
}

int CLiveView::OnCreate()
{
    m_Text = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                             WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                                 ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL,
                             0, 0, 0, 0, m_Handle, (HMENU)(UINT_PTR)IDC_LIVE_TEXT, m_Instance, NULL);
    if (m_Text == NULL || !CreateStatusBar())
        return 0;
    SendMessageA(m_Text, EM_SETLIMITTEXT, 0, 0);
    HDC screen = GetDC(m_Handle);
    int dpi = screen != NULL ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen != NULL)
        ReleaseDC(m_Handle, screen);
    // Fixed pitch: columns of a record and the hex view line up.
    m_Font = CreateFontA(-MulDiv(9, dpi > 0 ? dpi : 96, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET,
                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN,
                         "Courier New");
    if (m_Font != NULL)
        SendMessageA(m_Text, WM_SETFONT, (WPARAM)m_Font, FALSE);
    SetView(m_Text, this);
    SetTimer(m_Handle, LIVE_TIMER_ID, LIVE_TIMER_PERIOD, NULL);
    return 1;
}

void CLiveView::OnDestroy()
{
    // Not the program's end: only the main window's closing is.
    KillTimer(m_Handle, LIVE_TIMER_ID);
    if (m_Font != NULL)
        DeleteObject(m_Font);
    m_Font = NULL;
    m_Text = NULL;
}

int CLiveView::OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT *result)
{
    if (message != WM_TIMER || wParam != LIVE_TIMER_ID)
        return 0;
    Follow();
    *result = 0;
    return 1;
}

void CLiveView::Follow()
{
    static BYTE chunk[FOLLOW_READ_LIMIT];
    DWORD count = 0;
    int moved = FollowLog(&m_Follower, chunk, sizeof chunk, &count);
    if (moved && m_KeptLength > 0) {
        // A rotation: the view goes on in the next file, and says where.
        char mark[LOG_FILENAME_SIZE + 16];
        int length = snprintf(mark, sizeof mark, "\r\n--- %s ---\r\n", m_Follower.Path);
        if (length > 0 && (size_t)length < sizeof mark) {
            Keep((const BYTE *)mark, (DWORD)length);
            if (!m_Paused)
                Show((const BYTE *)mark, (DWORD)length);
        }
    }
    if (count > 0) {
        Keep(chunk, count);
        if (!m_Paused)
            Show(chunk, count);
    }
    if (moved || count > 0)
        ShowState();
    else if (m_Follower.Path[0] == '\0')
        ShowState();
}

void CLiveView::Keep(const BYTE *data, DWORD count)
{
    if (count >= LIVE_KEPT_BYTES) {
        memcpy(m_Kept, data + count - LIVE_KEPT_BYTES, LIVE_KEPT_BYTES);
        m_KeptLength = LIVE_KEPT_BYTES;
        return;
    }
    if (m_KeptLength + count > LIVE_KEPT_BYTES) {
        DWORD drop = m_KeptLength + count - LIVE_KEPT_BYTES;
        memmove(m_Kept, m_Kept + drop, m_KeptLength - drop);
        m_KeptLength -= drop;
    }
    memcpy(m_Kept + m_KeptLength, data, count);
    m_KeptLength += count;
}

// Received bytes as the edit control shows text: every line end (CR LF, CR or
// LF alone) as CR LF, other control characters as ".". Returns the length.
static size_t TextOf(const BYTE *data, DWORD count, int *afterCarriageReturn, char *out)
{
    size_t n = 0;
    for (DWORD i = 0; i < count; i++) {
        BYTE b = data[i];
        int cr = *afterCarriageReturn;
        *afterCarriageReturn = b == '\r';
        if (b == '\n' && cr)
            continue;
        if (b == '\r' || b == '\n') {
            out[n++] = '\r';
            out[n++] = '\n';
        } else {
            out[n++] = (b < 0x20 && b != '\t') || (b >= 0x7F && b < 0xA0) ? '.' : (char)b;
        }
    }
    out[n] = '\0';
    return n;
}

// The hex view: 16 bytes a line, their hex and their characters.
static size_t HexOf(const BYTE *data, DWORD count, char *out)
{
    size_t n = 0;
    for (DWORD line = 0; line < count; line += 16) {
        for (DWORD i = 0; i < 16; i++)
            n += line + i < count ? sprintf(out + n, "%02X ", data[line + i]) : sprintf(out + n, "   ");
        out[n++] = ' ';
        for (DWORD i = 0; i < 16 && line + i < count; i++) {
            BYTE b = data[line + i];
            out[n++] = b >= 0x20 && b < 0x7F ? (char)b : '.';
        }
        out[n++] = '\r';
        out[n++] = '\n';
    }
    out[n] = '\0';
    return n;
}

static char Rendered[LIVE_KEPT_BYTES * 2 + 1];

void CLiveView::Show(const BYTE *data, DWORD count)
{
    // The hex lines move with every byte: shown anew. The text grows at its
    // end until it holds about twice what is kept, then is shown anew too.
    if (m_Hex || GetWindowTextLengthA(m_Text) > 2 * LIVE_KEPT_BYTES) {
        ShowAll();
        return;
    }
    while (count > 0) {
        DWORD piece = count < LIVE_KEPT_BYTES ? count : LIVE_KEPT_BYTES;
        TextOf(data, piece, &m_AfterCarriageReturn, Rendered);
        int end = GetWindowTextLengthA(m_Text);
        SendMessageA(m_Text, EM_SETSEL, end, end);
        SendMessageA(m_Text, EM_REPLACESEL, FALSE, (LPARAM)Rendered);
        data += piece;
        count -= piece;
    }
}

void CLiveView::ShowAll()
{
    static char hex[(LIVE_HEX_BYTES / 16) * 68 + 1];
    if (m_Hex) {
        DWORD from = m_KeptLength > LIVE_HEX_BYTES ? m_KeptLength - LIVE_HEX_BYTES : 0;
        HexOf(m_Kept + from, m_KeptLength - from, hex);
        SetWindowTextA(m_Text, hex);
    } else {
        m_AfterCarriageReturn = 0;
        TextOf(m_Kept, m_KeptLength, &m_AfterCarriageReturn, Rendered);
        SetWindowTextA(m_Text, Rendered);
    }
    int end = GetWindowTextLengthA(m_Text);
    SendMessageA(m_Text, EM_SETSEL, end, end);
    SendMessageA(m_Text, EM_SCROLLCARET, 0, 0);
}

void CLiveView::ShowState()
{
    char text[LOG_FILENAME_SIZE + 64];
    if (m_Follower.Path[0] == '\0')
        snprintf(text, sizeof text, "No log file of instance %d yet", m_Follower.Instance);
    else
        snprintf(text, sizeof text, "%s %s", m_Paused ? "Paused:" : "Following", m_Follower.Path);
    SetStatusText(text);
}

int CLiveView::QueryCommand(UINT id, CommandState *state)
{
    state->Enabled = 1;
    state->Checked = 0;
    switch (id) {
    case ID_LIVE_TEXT:
        state->Checked = !m_Hex;
        return 1;
    case ID_LIVE_HEX:
        state->Checked = m_Hex;
        return 1;
    case ID_LIVE_PAUSE:
        state->Checked = m_Paused;
        return 1;
    case ID_LIVE_COPY:
    case ID_LIVE_SELECT_ALL:
        return 1;
    }
    return 0;
}

void CLiveView::RunCommand(UINT id)
{
    switch (id) {
    case ID_LIVE_TEXT:
    case ID_LIVE_HEX:
        m_Hex = id == ID_LIVE_HEX;
        ShowAll();
        break;
    case ID_LIVE_PAUSE:
        // The display stands still; what comes meanwhile is kept and shown
        // at the resume.
        m_Paused = !m_Paused;
        if (!m_Paused)
            ShowAll();
        ShowState();
        break;
    case ID_LIVE_COPY:
        SendMessageA(m_Text, WM_COPY, 0, 0);
        break;
    case ID_LIVE_SELECT_ALL:
        SendMessageA(m_Text, EM_SETSEL, 0, -1);
        break;
    }
}
