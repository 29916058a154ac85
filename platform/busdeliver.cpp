// Handing messages from the bus to our windows' procedures: the receiver's
// copy of a block, the copy-data record, and the courier window that
// delivers posted messages in their turn (and runs the bus's timers).
#include "platform/businternal.h"

#include "platform/loop.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr UINT kCourierMessage = 0x7FF0;  // only ever posted to the courier window

LRESULT CourierProc(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_TIMER && wParam == kBusSweepTimer)
        BusCloseIdleAccepted();
    if (message == WM_TIMER && wParam == kBusResumeTimer)
        BusResumeListeners();
    if (message != kCourierMessage)
        return 0;
    auto it = TheBus.queued.find(static_cast<uint64_t>(lParam));
    if (it == TheBus.queued.end())
        return 0;
    BusIncoming m = std::move(it->second);
    TheBus.queued.erase(it);
    if (m.fd >= 0)
        ConnReleasePost(&TheBus.conns, m.fd, m.serial, m.cost);
    if (m.hasBlock)
        m.block.resize(std::max(m.length, kBusMinCopy) + 1, 0);
    uint8_t *block = m.hasBlock ? m.block.data() : nullptr;
    BusDeliver(m.sender, m.target, m.code, m.wParam, m.lParam, block, m.length);
    return 0;
}

}  // namespace

// The procedure call itself.  block is the receiver's copy (or the caller's
// buffer for a local call); WM_COPYDATA gets a record pointing into it.
LRESULT BusDeliver(HWND sender, HWND target, UINT code, WPARAM wParam, LPARAM lParam,
                   uint8_t *block, uint32_t length)
{
    WNDPROC proc = WindowProcOf(target);
    if (!proc)
        return 0;
    COPYDATASTRUCT record;
    if (code == WM_COPYDATA) {
        if (!BusCopyDataRecord(block, length, &record))
            return 0;
        lParam = reinterpret_cast<LPARAM>(&record);
    } else if (block) {
        lParam = reinterpret_cast<LPARAM>(block);
    }
    BusDelivery saved = TheBus.current;
    TheBus.current = BusDelivery{sender, block ? length : 0};
    LRESULT result = proc(target, code, wParam, lParam);
    TheBus.current = saved;
    return result;
}

// The receiver's copy of a block: zero-filled to kBusMinCopy and always one
// zero byte beyond the block, so a text in it is terminated and a procedure
// that writes a short answer stays inside it.  A message whose lParam is an
// address but that came without a block gets an empty one.
bool BusCopyBlock(const uint8_t *bytes, uint32_t length, UINT code, std::vector<uint8_t> *copy)
{
    if (length == 0 && !BusLParamIsAddress(code))
        return false;
    copy->assign(std::max(length, kBusMinCopy) + 1, 0);
    if (length)
        std::memcpy(copy->data(), bytes, length);
    return true;
}

void BusEnsureCourier()
{
    if (!TheBus.courier || !IsLocalWindow(TheBus.courier))
        TheBus.courier = CreateWindowProc(CourierProc, false);
}

// Posted messages (ours to ourselves, or from the bus) wait in the loop's
// queue like any other, in order; the courier hands them over with their
// block when their turn comes.
bool BusQueueIncoming(BusIncoming &&m)
{
    BusEnsureCourier();
    uint64_t id = TheBus.nextIncoming++;
    TheBus.queued[id] = std::move(m);
    if (PostMessage(TheBus.courier, kCourierMessage, 0, static_cast<LPARAM>(id)))
        return true;
    BusIncoming &lost = TheBus.queued[id];
    if (lost.fd >= 0)
        ConnReleasePost(&TheBus.conns, lost.fd, lost.serial, lost.cost);
    TheBus.queued.erase(id);
    return false;
}

// A post from the bus waits in our queue, counted against its connection's
// share and the total; one that passes either is dropped with its
// connection.  Only the bytes that came are kept until delivery.
void BusQueuePost(int fd, const AcceptedConn &conn, const BusFrame &f)
{
    uint64_t cost = f.length + kBusPostOverhead;
    if (!ConnChargePost(&TheBus.conns, fd, cost)) {
        BusCloseAccepted(fd);
        return;
    }
    BusIncoming m{f.sender, f.target, f.code, f.wParam, f.lParam, f.length, false, {}, fd,
               conn.serial, cost};
    m.hasBlock = f.length > 0 || BusLParamIsAddress(f.code);
    m.block.assign(f.block, f.block + f.length);
    BusQueueIncoming(std::move(m));
}
