// The only place that maps protocol codes to their operations.  Codes are
// fixed by the profile's keywords; a retired code would keep its slot.
#include "protocols/protocol.h"

extern const ProtocolOps HbxrcpOps, ProbelOps, SimpleOps, CoxOps, VistekOps, NtpeqOps,
    VardartrOps, VardagpiOps, BtsasciiOps, QuartzOps, BtsesswitchOps, NetworkOps, LeitchOps,
    AdrienneOps, PesaOps, SonyOps;

const ProtocolOps *const ProtocolTable[kProtocolCodes] = {
    nullptr,          // 0: no protocol
    &HbxrcpOps,       // 1: "NTP", "HBXRCP"
    &ProbelOps,       // 2
    &SimpleOps,       // 3: poll reads its own reply, no parser
    &CoxOps,          // 4: likewise
    &VistekOps,       // 5
    &NtpeqOps,        // 6
    &VardartrOps,     // 7
    &VardagpiOps,     // 8
    &BtsasciiOps,     // 9
    &QuartzOps,       // 10
    &BtsesswitchOps,  // 11: no poll
    &NetworkOps,      // 12
    &LeitchOps,       // 13
    &AdrienneOps,     // 14
    &PesaOps,         // 15
    &SonyOps,         // 16
};
