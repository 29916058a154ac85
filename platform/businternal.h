// The bus's own state and the calls its files make to each other; nothing
// outside platform/bus*.cpp includes this (the interface is platform/bus.h).
//
// platform/bus.cpp       joining and leaving, the loop's hooks, public calls
// platform/busaccept.cpp connections other programs open to our windows
// platform/busdeliver.cpp delivery to our procedures, the courier window
// platform/buswait.cpp   the nested wait that keeps serving while it waits
// platform/bussend.cpp   sends to one window, kept send connections
// platform/busbroadcast.cpp sends to HWND_BROADCAST
// platform/buspost.cpp   posts to another program's window
#pragma once
#include "platform/bus.h"
#include "platform/busconn.h"
#include "platform/busframe.h"

#include <poll.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

constexpr int64_t kBusBoundMs = 5000;      // a send's whole life, connect included
constexpr int64_t kBusBusyRetryMs = 10;    // pause before connecting again to a full queue
constexpr uint32_t kBusMinCopy = 1024;     // a delivered block is never shorter than this
constexpr int kBusMaxNesting = 16;         // deeper waits stop serving incoming sends
constexpr uintptr_t kBusSweepTimer = 1;    // the courier's: closes idle accepted connections
constexpr uintptr_t kBusResumeTimer = 2;   // the courier's: listens again after EMFILE

struct BusListener {
    HWND window;
    int fd;
    struct stat made;     // the socket file, to tell it from a newcomer's
    bool paused = false;  // out of descriptors: not listened to for a while
};

// A message that came in and waits in the loop's queue for its turn.
struct BusIncoming {
    HWND sender = 0;
    HWND target = 0;
    UINT code = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    uint32_t length = 0;            // bytes of the block on the wire
    bool hasBlock = false;          // lParam becomes the address of the block
    std::vector<uint8_t> block;     // the bytes that came; padded when delivered
    int fd = -1;                    // the connection it came on (charged), or -1
    uint64_t serial = 0;
    uint64_t cost = 0;
};

struct BusDelivery {
    HWND sender = 0;
    uint32_t length = 0;
};

struct BusState {
    std::atomic<bool> open{false};
    std::string dir;
    std::vector<BusListener> listeners;  // creation order; the first is the default sender
    ConnTable conns;                     // connections other programs opened to us
    KeptSet idleSend;                    // idle send connections, at most BusBounds.maxKept
    int reserveFd = -1;                  // given up to accept-and-close when out of descriptors
    int stopFd = -1;                     // readable when the program is asked to stop
    bool stopSeen = false;               // ... and it was during a wait: waits end at once
    std::string lastError;
    int depth = 0;                       // sends of ours waiting, nested
    HWND courier = 0;
    uint64_t nextIncoming = 1;
    std::map<uint64_t, BusIncoming> queued;
    BusDelivery current;
    std::vector<uint8_t> rx = std::vector<uint8_t>(kBusMaxFrame + 1);
    std::atomic<uint32_t> sequence{1};
    // Shared with PostMessage callers on other threads.
    std::mutex lock;
    std::string sharedDir;
    KeptSet postConns;
    HWND defaultSender = 0;
};

// The one bus of this process (platform/bus.cpp).
extern BusState TheBus;

// busaccept.cpp
// Forgets an accepted connection and closes it (nothing when not ours).
void BusCloseAccepted(int fd);
// The courier's sweep: closes accepted connections idle too long.
void BusCloseIdleAccepted();
// The courier's resume: listeners paused for want of descriptors listen again.
void BusResumeListeners();
// Reads one frame from a connection we accepted and acts on it.
void BusServeConnection(int fd);
// Accepts every connection waiting on one of our listening sockets.
void BusAcceptAll(int listenFd);
// The loop's callback for a listening socket.
void BusOnListenerReady(int fd, void *);
// 1 for the descriptor of one of our listening sockets.
bool BusIsListener(int fd);

// busdeliver.cpp
// Calls the target's procedure for a bus delivery (or a local block send).
LRESULT BusDeliver(HWND sender, HWND target, UINT code, WPARAM wParam, LPARAM lParam,
                   uint8_t *block, uint32_t length);
// The receiver's copy of a block; false when the message gets none.
bool BusCopyBlock(const uint8_t *bytes, uint32_t length, UINT code, std::vector<uint8_t> *copy);
// Makes the courier window when there is none.
void BusEnsureCourier();
// Queues a posted message for the courier; false when the loop refused it.
bool BusQueueIncoming(BusIncoming &&m);
// Queues a post that came on an accepted connection, within its limits.
void BusQueuePost(int fd, const AcceptedConn &conn, const BusFrame &f);

// buswait.cpp
// Milliseconds of the steady clock.
int64_t BusNowMs();
// Waits for the events of `watch` until the deadline, serving meanwhile.
bool BusWaitServingSet(std::vector<pollfd> *watch, int64_t deadline);
// The same for one descriptor (none: fd -1).
bool BusWaitServing(int fd, short events, int64_t deadline);
// The deadline of a wait starting now.
int64_t BusDeadlineFromNow();

// bussend.cpp
enum class BusReplyState { Waiting, Done, Failed };
// Closes every descriptor of the list.
void BusCloseEach(const std::vector<int> &fds);
// Closes the kept connections whose peer hung up or sent unasked.
void BusPruneKept(KeptSet *set);
// Reads one frame from our send's connection and says where the send stands.
BusReplyState BusReadReply(int fd, const BusFrame &sent, uint8_t *block, bool copyBack,
                           LRESULT *result);
// A send to one window of another program; 0 without an answer.
LRESULT BusSendFrame(HWND sender, HWND target, UINT code, WPARAM wParam, LPARAM lParam,
                     uint8_t *block, uint32_t length, bool copyBack);

// busbroadcast.cpp
// A send to every window socket but the sender's own; always 0.
LRESULT BusBroadcast(HWND sender, UINT code, WPARAM wParam, LPARAM lParam, const uint8_t *block,
                     uint32_t length);

// buspost.cpp
// A post to one window of another program; false when it could not be written.
bool BusPostFrame(HWND sender, HWND target, UINT code, WPARAM wParam, LPARAM lParam,
                  const uint8_t *block, uint32_t length);
