#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <vector>

#include "service/alarm/InactivityAlarm.h"
#include "service/alarm/MessengerPopup.h"
#include "service/core/ServiceState.h"

namespace {

SYSTEMTIME At(WORD dayOfWeek, WORD hour, WORD minute)
{
    SYSTEMTIME t;
    ZeroMemory(&t, sizeof t);
    t.wYear = 2026;
    t.wMonth = 12;
    t.wDay = 7;
    t.wDayOfWeek = dayOfWeek;
    t.wHour = hour;
    t.wMinute = minute;
    return t;
}

ServiceParameters Window(DWORD mask, DWORD sh, DWORD sm, DWORD eh, DWORD em)
{
    ServiceParameters p;
    memset(&p, 0, sizeof p);
    p.DayOfWeekMask = mask;
    p.StartHour = sh;
    p.StartMin = sm;
    p.EndHour = eh;
    p.EndMin = em;
    return p;
}

bool MayAct(const ServiceParameters &p, WORD day, WORD hour, WORD minute)
{
    SYSTEMTIME t = At(day, hour, minute);
    return AlarmMayAct(&t, &p) != 0;
}

TEST(AlarmDecision, WindowBoundsAreExclusiveAtMinuteResolution)
{
    ServiceParameters office = Window(0x7F, 8, 0, 17, 0);
    EXPECT_FALSE(MayAct(office, 1, 8, 0));
    EXPECT_TRUE(MayAct(office, 1, 8, 1));
    EXPECT_TRUE(MayAct(office, 1, 16, 59));
    EXPECT_FALSE(MayAct(office, 1, 17, 0));
    EXPECT_FALSE(MayAct(office, 1, 7, 59));
    EXPECT_FALSE(MayAct(office, 1, 23, 0));
}

TEST(AlarmDecision, WholeDayWindowActsAtEveryMinute)
{
    ServiceParameters whole = Window(0x7F, 0, 0, 24, 0);
    EXPECT_TRUE(MayAct(whole, 0, 0, 0));
    EXPECT_TRUE(MayAct(whole, 6, 23, 59));
    EXPECT_TRUE(MayAct(whole, 3, 12, 0));
}

TEST(AlarmDecision, EndNotAfterStartNeverActs)
{
    ServiceParameters overnight = Window(0x7F, 22, 0, 6, 0);
    ServiceParameters empty = Window(0x7F, 9, 30, 9, 30);
    for (WORD hour = 0; hour < 24; hour++) {
        EXPECT_FALSE(MayAct(overnight, 2, hour, 0)) << hour;
        EXPECT_FALSE(MayAct(overnight, 2, hour, 31)) << hour;
        EXPECT_FALSE(MayAct(empty, 2, hour, 30)) << hour;
    }
}

TEST(AlarmDecision, OtherWindowsEndingAt24TakeThePlainTest)
{
    ServiceParameters evening = Window(0x7F, 8, 0, 24, 0);
    EXPECT_FALSE(MayAct(evening, 4, 8, 0));
    EXPECT_FALSE(MayAct(evening, 4, 0, 0));
    EXPECT_TRUE(MayAct(evening, 4, 8, 1));
    EXPECT_TRUE(MayAct(evening, 4, 23, 59));
    ServiceParameters lateStart = Window(0x7F, 0, 1, 24, 0);
    EXPECT_FALSE(MayAct(lateStart, 4, 0, 0));
    EXPECT_FALSE(MayAct(lateStart, 4, 0, 1));
    EXPECT_TRUE(MayAct(lateStart, 4, 0, 2));
}

TEST(AlarmDecision, HoursAndMinutesBeyondTheClockNeverAct)
{
    // Each would otherwise let the alarm act at 12:00 (17:75 reads as 18:15).
    const ServiceParameters windows[] = {Window(0x7F, 9, 0, 17, 75), Window(0x7F, 9, 60, 17, 0),
                                         Window(0x7F, 9, 0, 25, 0), Window(0x7F, 0, 0, 99, 0),
                                         Window(0x7F, 0xFFFFFFFF, 0, 17, 0)};
    for (const ServiceParameters &w : windows)
        EXPECT_FALSE(MayAct(w, 3, 12, 0)) << w.StartHour << ":" << w.StartMin << "-"
                                          << w.EndHour << ":" << w.EndMin;
    EXPECT_TRUE(MayAct(Window(0x7F, 9, 0, 17, 59), 3, 12, 0));
}

TEST(AlarmDecision, DayMaskSelectsWeekdaysSundayHighest)
{
    ServiceParameters none = Window(0, 0, 0, 24, 0);
    ServiceParameters weekdays = Window(0x3E, 0, 0, 24, 0);
    ServiceParameters sunday = Window(0x40, 0, 0, 24, 0);
    ServiceParameters saturday = Window(0x01, 0, 0, 24, 0);
    for (WORD day = 0; day < 7; day++) {
        EXPECT_FALSE(MayAct(none, day, 12, 0)) << day;
        EXPECT_EQ(MayAct(weekdays, day, 12, 0), day >= 1 && day <= 5) << day;
        EXPECT_EQ(MayAct(sunday, day, 12, 0), day == 0) << day;
        EXPECT_EQ(MayAct(saturday, day, 12, 0), day == 6) << day;
    }
    // The day is tested before the window.
    ServiceParameters office = Window(0x20, 8, 0, 17, 0);
    EXPECT_TRUE(MayAct(office, 1, 12, 0));
    EXPECT_FALSE(MayAct(office, 2, 12, 0));
}

std::vector<std::string> Split(const char *users)
{
    char list[NET_SEND_USERS_SIZE];
    char *names[MAX_RECIPIENTS];
    strcpy(list, users);
    size_t count = SplitRecipients(list, names, MAX_RECIPIENTS);
    return std::vector<std::string>(names, names + count);
}

TEST(AlarmRecipients, LastNameFirstWithBlanksAndEmptyPiecesKept)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(Split("alice,bob,carol"), (V{"carol", "bob", "alice"}));
    EXPECT_EQ(Split("alice, bob"), (V{" bob", "alice"}));
    EXPECT_EQ(Split(",,"), (V{"", "", ""}));
    EXPECT_EQ(Split(",alice,"), (V{"", "alice", ""}));
    EXPECT_EQ(Split("alice"), (V{"alice"}));
    EXPECT_EQ(Split(""), V{});
}

TEST(AlarmRecipients, ALongestListOfCommasFits)
{
    std::string commas(NET_SEND_USERS_SIZE - 1, ',');
    EXPECT_EQ(Split(commas.c_str()).size(), (size_t)NET_SEND_USERS_SIZE);
}

TEST(AlarmText, FormattedAndWidenedByteByByteIntoAZeroFilledBuffer)
{
    char text[ALARM_TEXT_SIZE];
    FormatAlarmText(text, sizeof text, "Quillbox3", 600);
    EXPECT_STREQ(text, "Quillbox3 has not received data for 600 seconds (TIMED OUT)");

    WCHAR wide[ALARM_TEXT_SIZE];
    memset(wide, 0xCC, sizeof wide);
    WidenText(text, wide, ALARM_TEXT_SIZE);
    size_t length = strlen(text);
    for (size_t i = 0; i < length; i++)
        ASSERT_EQ(wide[i], (WCHAR)text[i]) << i;
    for (size_t i = length; i < ALARM_TEXT_SIZE; i++)
        ASSERT_EQ(wide[i], 0) << i;

    // Bytes above 0x7F become the unit of the same value, not a negative one.
    WCHAR name[RECIPIENT_NAME_SIZE];
    WidenText("Ren\xe9", name, RECIPIENT_NAME_SIZE);
    EXPECT_EQ(name[3], 0x00E9);
}

TEST(AlarmText, LongNamesAndTextsAreCutAndTerminated)
{
    WCHAR name[RECIPIENT_NAME_SIZE];
    std::string longName(40, 'n');
    WidenText(longName.c_str(), name, RECIPIENT_NAME_SIZE);
    for (int i = 0; i < 31; i++)
        ASSERT_EQ(name[i], L'n');
    EXPECT_EQ(name[31], 0);

    char text[ALARM_TEXT_SIZE];
    std::string longService(200, 's');
    FormatAlarmText(text, sizeof text, longService.c_str(), 5);
    EXPECT_EQ(strlen(text), (size_t)ALARM_TEXT_SIZE - 1);
}

// The cycles, watched through replaced actions.
struct Recorded {
    std::vector<std::string> calls;
    HANDLE endAfterPopup = NULL;
    int popupsBeforeEnd = -1;
} Seen;

DWORD RecordCommand(const char *command)
{
    Seen.calls.push_back(std::string("cmd ") + command);
    return 1;
}

void RecordPopup(const char *recipient, const char *text)
{
    Seen.calls.push_back(std::string("to ") + recipient + ": " + text);
    if (Seen.popupsBeforeEnd > 0 && --Seen.popupsBeforeEnd == 0)
        SetEvent(Seen.endAfterPopup);
}

class AlarmCycles : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CreateServiceSynchronisation());
        saved = AlarmActions;
        AlarmActions.StartCommand = RecordCommand;
        AlarmActions.SendPopup = RecordPopup;
        Seen = Recorded();
        memset(&Params, 0, sizeof Params);
        strcpy(ServiceName, "Quillbox3");
        Params.Timeout = 600;
        Params.DayOfWeekMask = 0x7F;
        Params.EndHour = 24;
        strcpy(Params.CustomTimeoutCmd, "notify.cmd");
        strcpy(Params.NetSendUsers, "alice,bob");
        ended = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    void TearDown() override
    {
        AlarmActions = saved;
        CloseHandle(ended);
    }
    AlarmActionApi saved;
    HANDLE ended;
    SYSTEMTIME noon = At(1, 12, 0);
};

const char *const Text = "Quillbox3 has not received data for 600 seconds (TIMED OUT)";

TEST_F(AlarmCycles, IntervalZeroRunsOneCycleCommandFirst)
{
    EXPECT_EQ(RunInactivityAlarm(&noon, ended), 0u);
    EXPECT_EQ(Seen.calls, (std::vector<std::string>{"cmd notify.cmd", std::string("to bob: ") + Text,
                                                     std::string("to alice: ") + Text}));
}

TEST_F(AlarmCycles, OutsideTheWindowNothingHappens)
{
    Params.StartHour = 8;
    Params.EndHour = 17;
    SYSTEMTIME evening = At(1, 17, 0);
    EXPECT_EQ(RunInactivityAlarm(&evening, ended), 1u);
    Params.DayOfWeekMask = 0;
    EXPECT_EQ(RunInactivityAlarm(&noon, ended), 1u);
    EXPECT_TRUE(Seen.calls.empty());
}

TEST_F(AlarmCycles, AnEndBetweenPopupsSendsNoMore)
{
    Params.WarningInterval = 1;
    strcpy(Params.NetSendUsers, "alice,bob,carol");
    Seen.endAfterPopup = ended;
    Seen.popupsBeforeEnd = 1;
    EXPECT_EQ(RunInactivityAlarm(&noon, ended), 0u);
    EXPECT_EQ(Seen.calls.size(), 2u);   // the command and carol's pop-up only
}

TEST_F(AlarmCycles, EmptyFieldsMeanNoCommandAndNoPopups)
{
    Params.CustomTimeoutCmd[0] = '\0';
    EXPECT_EQ(RunInactivityAlarm(&noon, ended), 0u);
    EXPECT_EQ(Seen.calls.size(), 2u);
    Seen.calls.clear();
    strcpy(Params.CustomTimeoutCmd, "notify.cmd");
    Params.NetSendUsers[0] = '\0';
    EXPECT_EQ(RunInactivityAlarm(&noon, ended), 0u);
    EXPECT_EQ(Seen.calls, (std::vector<std::string>{"cmd notify.cmd"}));
}

DWORD WINAPI RunAtNoon(LPVOID ended)
{
    SYSTEMTIME noon = At(1, 12, 0);
    return RunInactivityAlarm(&noon, (HANDLE)ended);
}

TEST_F(AlarmCycles, AnEndDuringTheSleepIsSeenAtOnce)
{
    Params.WarningInterval = 600;
    HANDLE thread = CreateThread(NULL, 0, RunAtNoon, ended, 0, NULL);
    ASSERT_NE(thread, (HANDLE)NULL);
    Sleep(200);
    SetEvent(ended);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), (DWORD)WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(Seen.calls.size(), 3u);
}

TEST_F(AlarmCycles, EndingTheRunningAlarmReleasesItWithoutWaiting)
{
    Params.WarningInterval = 600;
    Params.DayOfWeekMask = 0x7F;
    StartInactivityAlarm();
    ASSERT_NE(AlarmThreadHandle(), INVALID_HANDLE_VALUE);
    HANDLE thread;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), AlarmThreadHandle(), GetCurrentProcess(), &thread, 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
    Sleep(300);
    EndInactivityAlarm();
    EXPECT_EQ(AlarmThreadHandle(), INVALID_HANDLE_VALUE);
    EndInactivityAlarm();   // a second end (data, then stop) is harmless
    EXPECT_EQ(WaitForSingleObject(thread, 5000), (DWORD)WAIT_OBJECT_0);
    CloseHandle(thread);
}

TEST(MessengerGuard, WineBuiltinsAreToldFromNativeModules)
{
    EXPECT_FALSE(IsWineBuiltinModule(GetModuleHandleA(NULL)));
    if (RunningUnderWine())
        EXPECT_TRUE(IsWineBuiltinModule(GetModuleHandleA("kernel32.dll")));
    else
        EXPECT_FALSE(IsWineBuiltinModule(GetModuleHandleA("kernel32.dll")));
}

}  // namespace

namespace {

TEST(AlarmCommand, StartsTheCommandAndKeepsNoHandleOfIt)
{
    char dir[MAX_PATH], marker[MAX_PATH], command[2 * MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    GetTempFileNameA(dir, "cmd", 0, marker);
    DeleteFileA(marker);
    snprintf(command, sizeof command, "cmd /c echo ran>\"%s\"", marker);

    DWORD id = StartAlarmCommand(command);
    ASSERT_NE(id, 0u);
    for (int i = 0; i < 100 && GetFileAttributesA(marker) == INVALID_FILE_ATTRIBUTES; i++)
        Sleep(100);
    EXPECT_NE(GetFileAttributesA(marker), INVALID_FILE_ATTRIBUTES);
    // An ended process whose handles are all closed is gone; one whose handle
    // was kept lingers, and its id can still be opened.
    BOOL gone = FALSE;
    for (int i = 0; i < 100 && !gone; i++) {
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
        if (process == NULL)
            gone = TRUE;
        else {
            WaitForSingleObject(process, 100);
            CloseHandle(process);
            Sleep(50);
        }
    }
    EXPECT_TRUE(gone);
    DeleteFileA(marker);
    EXPECT_EQ(StartAlarmCommand("no-such-program-anywhere.exe"), 0u);
}

}  // namespace
