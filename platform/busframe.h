// The bus's frame codec (wire format 1, see docs/bus.md).
//
// Frame = one SEQPACKET message, little-endian, 36-byte header + N bytes:
//   0 magic 0x314D575A ("ZWM1")   4 kind 1 send / 2 post / 3 reply
//   5 three zero bytes             8 sequence         12 sender window
//  16 target window               20 message code     24 wParam
//  28 lParam (reply: the result)  32 N, 0..65536      36 the block
// Sample: send 2119 (no block), sequence 5, from 0x0012ab34 to 0x7f00c001:
//   5a 57 4d 31 01 00 00 00 05 00 00 00 34 ab 12 00 01 c0 00 7f
//   47 08 00 00 00 00 00 00 00 00 00 00 00 00 00 00
// The reply carries kind 3, the same sequence and code, sender and target
// swapped, wParam 0, the result in lParam and the block as the procedure
// left it.  A WM_COPYDATA block is data word, byte count, then the bytes.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/bus.h"

constexpr uint32_t kBusMagic = 0x314D575A;
constexpr uint8_t kBusKindSend = 1;
constexpr uint8_t kBusKindPost = 2;
constexpr uint8_t kBusKindReply = 3;
constexpr size_t kBusHeaderSize = 36;
constexpr size_t kBusMaxFrame = kBusHeaderSize + kBusMaxBlock;

struct BusFrame {
    uint8_t kind = 0;
    uint32_t sequence = 0;
    uint32_t sender = 0;
    uint32_t target = 0;
    uint32_t code = 0;
    uint32_t wParam = 0;
    int32_t lParam = 0;
    uint32_t length = 0;
    const uint8_t *block = nullptr;
};

void BusPut32(uint8_t *p, uint32_t v);
uint32_t BusGet32(const uint8_t *p);
// Every check a frame must pass before anything in it is believed.  size is
// what the socket reported (possibly more than was stored, see MSG_TRUNC);
// f->block then points into buf.
bool BusDecodeFrame(const uint8_t *buf, size_t size, BusFrame *f);
// One record on the socket, header and block together; never blocks, never
// raises SIGPIPE.  The result of sendmsg.
ssize_t BusWriteFrame(int fd, const BusFrame &f);
// A frame of `kind` carrying a message; a block, when there is one, stands
// in for lParam (0 on the wire).  The sequence is left to the caller.
BusFrame BusMessageFrame(uint8_t kind, HWND sender, HWND target, UINT code, WPARAM wParam,
                         LPARAM lParam, const uint8_t *block, uint32_t length);
// The reply to a send: the same sequence, code and block length, sender and
// target swapped, wParam 0, the result in lParam, the block as the
// procedure left it.
BusFrame BusReplyFrame(const BusFrame &send, LRESULT result, const uint8_t *block);
// The record a WM_COPYDATA block holds, pointing into the block; false when
// there is no block or its byte count passes the block.
bool BusCopyDataRecord(uint8_t *block, uint32_t length, COPYDATASTRUCT *record);
// A WM_COPYDATA record (lParam) as its block: data word, byte count, the
// bytes; false for a record that is missing or does not fit a frame.
bool BusCopyDataBlock(LPARAM lParam, std::vector<uint8_t> *block);
