// Revertives: what each destination carries, told to the control system as
// "RR ddd ddd ddd" (device, destination, source; -1 for unknown prints as
// -01), for example
//
//     RR 007 012 003      device 7, destination 12 carries source 3
//
// Attached programs get the same news as a number: the destination in the
// low 16 bits, the source in the high 16 bits.  Only in Tx/Rx mode does
// anything leave the driver.  Also here: the network-status exchange that
// switches a workstation's drivers between Tx/Rx and Rx Only, and the tally
// requests of an attached external driver.
#include "link/revertive.h"

#include "config/profile.h"
#include "link/attach.h"
#include "link/zoltif.h"
#include "platform/cells.h"
#include "platform/debug.h"
#include "platform/loop.h"
#include "platform/shellstate.h"
#include "routing/tables.h"

#include <cctype>
#include <cstdio>
#include <cstring>

uint32_t RevertiveCounter = 0;

namespace {

RevertiveObserver Observer = nullptr;

enum : UINT {
    kMsgNetworkReply = 2123,
    kMsgRevertive = 2187,
    kMsgRevertiveBatch = 2188,
    kMsgTallyToExternal = 2741,
    kMsgTallyNotice = 2742,
};
constexpr uint32_t kLastOfBatch = 0x8000;
constexpr size_t kReplySize = 128;

bool IsTallyValue(int32_t v) { return v >= -1 && v <= kMaxDest; }

// The source reported for d.  A tally no source can have is repaired to
// -1 in the table itself; a virtual entry that names no table entry (a
// saved -1 reads back as 65535) is reported as unknown.
int32_t ReportedSource(int32_t d)
{
    if (Profile.FirstVirtual != 0) {
        int32_t v = Routing.VirtualTable[d];
        return IsTallyValue(v) ? v : -1;
    }
    if (!IsTallyValue(Routing.TallyTable[d]))
        Routing.TallyTable[d] = -1;
    return Routing.TallyTable[d];
}

LPARAM TallyNotice(int32_t d, int32_t source)
{
    uint32_t v = (static_cast<uint32_t>(d) & 0xFFFFu) | (static_cast<uint32_t>(source) << 16);
    return static_cast<LPARAM>(v);
}

void NotifyAttached(int32_t first, int32_t last)
{
    WPARAM id = static_cast<WPARAM>(Shell.DriverId);
    if (Shell.ExternalDriverWindow != 0)
        for (int32_t d = first; d <= last; ++d)
            ZOLT32TxMessage(Shell.ExternalDriverWindow, kMsgTallyNotice, id,
                            TallyNotice(d, ReportedSource(d)), 0, 0);
    if (Shell.ControlWindow != 0)
        for (int32_t d = first; d <= last; ++d)
            SendMessage(Shell.ControlWindow, kMsgTallyNotice, id, TallyNotice(d, ReportedSource(d)));
}

void ShowCounter()
{
    char text[16];
    std::snprintf(text, sizeof text, "%08lu", static_cast<unsigned long>(RevertiveCounter));
    SetDialogText(IDC_TXCOUNT, text);
}

// Takes the first whitespace-separated word of *from into word (bounded).
void TakeWord(const char **from, char *word, size_t size)
{
    const char *p = *from;
    while (*p && std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    size_t n = 0;
    while (*p && !std::isspace(static_cast<unsigned char>(*p))) {
        if (n < size - 1)
            word[n++] = *p;
        ++p;
    }
    word[n] = 0;
    *from = p;
}

// Reads "key=value" (any '=' counts as a blank); returns the value as a
// number when the key is txrx in any case, else -1 with *isTxRx false.
int32_t ReadTxRxSetting(const char *setting, bool *isTxRx)
{
    char text[kFieldTextSize];
    std::snprintf(text, sizeof text, "%s", setting);
    for (char *c = text; *c; ++c)
        if (*c == '=')
            *c = ' ';
    char key[kFieldTextSize];
    char value[kFieldTextSize];
    const char *p = text;
    TakeWord(&p, key, sizeof key);
    TakeWord(&p, value, sizeof value);
    for (char *c = key; *c; ++c)
        *c = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    *isTxRx = std::strcmp(key, "txrx") == 0;
    return ReadCheckedNumber(value);
}

}  // namespace

void SendRevertives(int32_t first, int32_t last, int kind, uint32_t tag)
{
    if (Link.TxRxMode != 2)
        return;  // Rx Only (or not registered): nothing leaves, nothing is counted
    // The tables end at kMaxDest whatever a caller asks for.
    if (first < 1)
        first = 1;
    if (last > kMaxDest)
        last = kMaxDest;
    if (Profile.FirstVirtual != 0)
        SyncVirtualTable(first, last);
    UINT code = kind == 1 ? kMsgRevertive : kMsgRevertiveBatch;

    NotifyAttached(first, last);
    for (int32_t d = first; d <= last; ++d) {
        char text[32];
        int n = std::snprintf(text, sizeof text, "RR %03d %03d %03d", Shell.DriverId, d,
                              ReportedSource(d));
        if (n < 0 || static_cast<size_t>(n) >= sizeof text)
            continue;
        if (d == last && code == kMsgRevertiveBatch)
            tag |= kLastOfBatch;
        ZOLT32TxMessage(Link.VekWindow, code, tag, reinterpret_cast<LPARAM>(text), 1,
                        static_cast<uint32_t>(n + 1));
        ++RevertiveCounter;
        if (Observer)
            Observer(d, ReportedSource(d));
    }
    ShowCounter();
    if (Dlg.SelectedDest >= first && Dlg.SelectedDest <= last)
        ShowSelectedDest();
}

int HandleNetworkStatus(const char *text)
{
    if (text == nullptr)
        return 0;
    SplitCommandFields(text, 6);
    if (FieldNumber(1) != Link.WorkStation)
        return 0;
    bool isTxRx = false;
    int32_t value = ReadTxRxSetting(FieldText[2], &isTxRx);
    if (!isTxRx)
        return 0;
    // Keep the echoed fields: telling VEK the new mode may deliver another
    // message into the shared field store.
    char echo[3][kFieldTextSize];
    for (int i = 0; i < 3; ++i)
        std::snprintf(echo[i], sizeof echo[i], "%s", FieldText[3 + i]);
    if (value == 2 || value == 1)
        SetTxRxMode(value);
    // The echoed fields are not checked; an over-long reply is cut at 127.
    char reply[kReplySize];
    int n = std::snprintf(reply, sizeof reply, "NS %03d %03d 'TXRX=%d' %s %s %s", Shell.DriverId,
                          Link.WorkStation, Link.TxRxMode, echo[0], echo[1], echo[2]);
    if (n < 0)
        return 1;
    ZOLT32TxMessage(Link.VekWindow, kMsgNetworkReply, 0, reinterpret_cast<LPARAM>(reply), 1,
                    static_cast<uint32_t>(std::strlen(reply) + 1));
    return 1;
}

void RefreshRevertives(int32_t device, int32_t kind)
{
    if (device != Shell.DriverId)
        return;
    int32_t count = Profile.DatabaseSize_1 < kMaxDest ? Profile.DatabaseSize_1 : kMaxDest;
    if (kind != 2) {
        SendRevertives(1, count, 1, 0);
        return;
    }
    // A renamed entry: report the destinations that carry it.
    if (Shell.NoticeDatabase != 0 && Shell.NoticeDatabase != 2)
        return;
    int32_t source = Shell.NoticeIndex;
    for (int32_t d = 1; d <= count; ++d)
        if (Routing.TallyTable[d] == source)
            SendRevertives(d, d, 1, 0);
}

void TallyFromExternal(int32_t destination, int32_t source)
{
    if (!IsValidSource(source) || !IsValidDest(destination))
        return;
    DebugPrintf("wParam = %d, lParam = %d", destination, source);
    Routing.TallyTable[destination] = source;
    if (Dlg.SelectedDest == destination)
        ShowSelectedDest();
    SendRevertives(destination, destination, 1, 0);
}

int32_t ReportTallyToExternal(int32_t destination)
{
    if (destination < 1 || destination > kMaxDest)
        return -1;  // no table entry to report
    int32_t tally = Routing.TallyTable[destination];
    if (Shell.ExternalDriverWindow != 0)
        ZOLT32TxMessage(Shell.ExternalDriverWindow, kMsgTallyToExternal,
                        static_cast<WPARAM>(static_cast<uint32_t>(destination)),
                        static_cast<LPARAM>(tally), 0, 0);
    return tally;
}

void RevertiveReset()
{
    RevertiveCounter = 0;
    Observer = nullptr;
}

void SetRevertiveObserver(RevertiveObserver observer) { Observer = observer; }
