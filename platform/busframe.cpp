// The bus's frame codec (see busframe.h).
#include "platform/busframe.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

void EncodeHeader(uint8_t *out, const BusFrame &f)
{
    std::memset(out, 0, kBusHeaderSize);
    BusPut32(out, kBusMagic);
    out[4] = f.kind;
    BusPut32(out + 8, f.sequence);
    BusPut32(out + 12, f.sender);
    BusPut32(out + 16, f.target);
    BusPut32(out + 20, f.code);
    BusPut32(out + 24, f.wParam);
    BusPut32(out + 28, static_cast<uint32_t>(f.lParam));
    BusPut32(out + 32, f.length);
}

}  // namespace

void BusPut32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t BusGet32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool BusDecodeFrame(const uint8_t *buf, size_t size, BusFrame *f)
{
    if (size < kBusHeaderSize || BusGet32(buf) != kBusMagic)
        return false;
    if (buf[4] < kBusKindSend || buf[4] > kBusKindReply)
        return false;
    if (buf[5] != 0 || buf[6] != 0 || buf[7] != 0)
        return false;
    uint32_t n = BusGet32(buf + 32);
    if (n > kBusMaxBlock || size != kBusHeaderSize + n)
        return false;
    f->kind = buf[4];
    f->sequence = BusGet32(buf + 8);
    f->sender = BusGet32(buf + 12);
    f->target = BusGet32(buf + 16);
    f->code = BusGet32(buf + 20);
    f->wParam = BusGet32(buf + 24);
    f->lParam = static_cast<int32_t>(BusGet32(buf + 28));
    f->length = n;
    f->block = buf + kBusHeaderSize;
    return true;
}

ssize_t BusWriteFrame(int fd, const BusFrame &f)
{
    uint8_t header[kBusHeaderSize];
    EncodeHeader(header, f);
    iovec parts[2] = {{header, kBusHeaderSize}, {const_cast<uint8_t *>(f.block), f.length}};
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = f.length ? 2 : 1;
    return sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
}

BusFrame BusMessageFrame(uint8_t kind, HWND sender, HWND target, UINT code, WPARAM wParam,
                         LPARAM lParam, const uint8_t *block, uint32_t length)
{
    BusFrame f;
    f.kind = kind;
    f.sender = sender;
    f.target = target;
    f.code = code;
    f.wParam = static_cast<uint32_t>(wParam);
    f.lParam = length ? 0 : static_cast<int32_t>(lParam);
    f.length = length;
    f.block = block;
    return f;
}

BusFrame BusReplyFrame(const BusFrame &send, LRESULT result, const uint8_t *block)
{
    BusFrame reply = send;
    reply.kind = kBusKindReply;
    reply.sender = send.target;
    reply.target = send.sender;
    reply.wParam = 0;
    reply.lParam = static_cast<int32_t>(result);
    reply.block = block;
    return reply;
}

bool BusCopyDataRecord(uint8_t *block, uint32_t length, COPYDATASTRUCT *record)
{
    if (!block || length < 8 || BusGet32(block + 4) > length - 8)
        return false;  // no record, or a byte count the block does not hold
    record->dwData = BusGet32(block);
    record->cbData = BusGet32(block + 4);
    record->lpData = block + 8;
    return true;
}

// The copy-data record as a block: data word, byte count, the bytes.
bool BusCopyDataBlock(LPARAM lParam, std::vector<uint8_t> *block)
{
    auto *record = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
    if (!record || record->cbData > kBusMaxBlock - 8 || (record->cbData && !record->lpData))
        return false;
    block->assign(8 + record->cbData, 0);
    BusPut32(block->data(), record->dwData);
    BusPut32(block->data() + 4, record->cbData);
    if (record->cbData)
        std::memcpy(block->data() + 8, record->lpData, record->cbData);
    return true;
}

bool BusLParamIsAddress(UINT code)
{
    static const UINT kCodes[] = {WM_COPYDATA, 2074, 2121, 2123, 2164, 2187, 2188,
                                  2189,        2740, 2776, 2777, 2778};
    return std::find(std::begin(kCodes), std::end(kCodes), code) != std::end(kCodes);
}
