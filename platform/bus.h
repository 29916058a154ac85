// The local message bus: window messages between programs of one site over
// SEQPACKET sockets in the bus directory (wire format in docs/bus.md).
//
// After BusOpen, SendMessage/PostMessage to a handle that is not a window of
// this process go over the bus, addressable windows created with
// CreateWindowProc get their socket, and sends arriving for our windows are
// delivered to their procedures on the loop thread (also nested, while one
// of our own sends waits for its reply).
#pragma once
#include "platform/winapi.h"
#include <cstdint>
#include <string>

constexpr uint32_t kBusMaxBlock = 65536;

// Joins the bus in BusDirectory(); false with a reason when the directory
// is not safe to use (wrong owner or mode) or cannot be made.
bool BusOpen(std::string *error);
// Leaves the bus: removes our sockets, closes every connection.
void BusClose();
bool BusIsOpen();

// A synchronous send carrying a block (text form, name requests, copy
// data).  The target's procedure sees lParam = its copy of the block; the
// reply's block is copied back into `block` (same length).  Returns the
// target's result, 0 when there is no answer within 5 seconds.  A local
// target is called directly with lParam = block.
LRESULT BusSendBlock(HWND sender, HWND target, UINT message, WPARAM wParam, void *block,
                     uint32_t length);
// A synchronous number-form send naming the sender window.
LRESULT BusSend(HWND sender, HWND target, UINT message, WPARAM wParam, LPARAM lParam);
// Posts with an optional block (the receiver queues it).
bool BusPost(HWND sender, HWND target, UINT message, WPARAM wParam, LPARAM lParam,
             const void *block, uint32_t length);
// Every window socket currently in the bus directory (other programs' too),
// lowest handles first; at most max.
int BusListWindows(HWND *out, int max);
// Closes the connections kept open to that window (for sends and for
// posts): called when a window attached to us is detached or replaced.
void BusForgetWindow(HWND window);
// A descriptor that becomes readable when the program is asked to stop (the
// signal descriptor).  When it does during a wait for a reply, that wait
// still runs to its end, but every later wait ends at once (sends still go
// out, their replies are not awaited) until BusStopTaken: so the request
// reaches the message loop without a chain of waits in between.
void BusWatchStop(int fd);
void BusStopTaken();
// Why the last window socket could not be made ("" when none failed).
std::string BusLastError();

// 1 when a window of this process has that handle or its socket accepts a
// connection (a dead program's socket is removed on the way).
bool BusWindowAlive(HWND window);
// 1 for a handle that can only be another program's window: not 0, not
// HWND_BROADCAST, not a window of this process.  A window attached to the
// driver (VEK, an external driver, a control program) must be one, so that
// a message meant for it never turns into a broadcast or a call to itself.
bool BusIsForeignWindow(HWND window);
// During a procedure call made for a bus delivery (or a local BusSendBlock):
// the sender field of the frame and the length of its block (0: no block).
// Outside such a call both are 0.
HWND BusDeliverySender();
uint32_t BusDeliveryBlockLength();
// 1 for the message codes whose lParam is the address of a text, a buffer or
// a copy-data record.  Such a message arriving without a block is given an
// empty text (WM_COPYDATA is not delivered at all), so that no number from
// another program is ever taken for an address.
bool BusLParamIsAddress(UINT code);
