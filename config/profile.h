// The device profile DEV_nnn.INI: what this device is and how its ports
// are wired.  Read once at start-up; read-only afterwards.
#pragma once
#include <cstdint>
#include <string>

constexpr int kMaxPorts = 8;

struct PortConfig {
    int32_t Port = 0;       // COM number
    int32_t MinDest = 0;    // first destination served; 0 unset
    int32_t MaxDest = 0;
    uint8_t Protocol = 0;   // ProtocolCode 0..16
    uint32_t Speed = 0;     // baud; 0 = port not used
    int32_t DataBits = 0;
    int32_t StopBits = 0;
    char Parity = 'n';      // 'n', 'e' or 'o'
};

struct DeviceProfile {
    char Name[80] = {};
    int32_t DatabaseSize_0 = 0;  // source count
    int32_t DatabaseSize_1 = 0;  // destination count
    int32_t ParkSource = 0;
    int32_t FirstVirtual = 0;
    int32_t SaveDelay = 0;
    int32_t FwdBuffDelay = 0;
    int32_t RevertiveDelay = 0;
    int32_t DriverMode = 0;      // 0 INTERNAL, 1 EXTERNAL
    int32_t InitTallyDelay = 0;
    int32_t TallyDelay = 0;
    int32_t RevertiveMode = 0;   // 1 ROUTER, 2 DRIVER
    int32_t NetUpdateOnStart = 0;
    int32_t ReAssert = 0;
    int32_t DebugMode = 0;
    int32_t SourceToDest = 0;
    int32_t DestToSource = 0;
    int32_t NameLength = 0;
    int32_t Simulation = 0;
    int32_t HBXRCP_Levels = 0;
    int32_t LeitchLevel = 0;
    char QuartzLevels[8] = {};
    int32_t NetworkRouterType = 0;  // 0xA0 video, 0x90 audio
    int32_t NetworkRouterLvl = 0;
    int32_t AdrienneAddress = 0;
    char AdrienneAddressDigits[2] = {'0', '0'};
    int32_t SonyAddress = 0;
    int32_t SonyDelay = 0;
    int32_t PesaDelay = 0;
    int32_t GoRxOnlyOnComFail = 0;
    int32_t CommErrorLimit = 0;
    PortConfig Ports[kMaxPorts + 1];  // 1..8; entry 0 unused
};
extern DeviceProfile Profile;

constexpr int32_t kDriverInternal = 0;
constexpr int32_t kDriverExternal = 1;
constexpr int32_t kRevertiveRouter = 1;
constexpr int32_t kRevertiveDriver = 2;

// Path of DEV_nnn.INI ("" when it would not fit in 79 characters, or the
// paths file cannot be read).
std::string DeviceProfilePath();
// Reads the whole profile, writing missing keys back, then the workstation
// number and the access list.  Returns 0 when start-up must be abandoned: a
// database size is missing, the destination count is above 4096, the
// profile path is longer than 79 characters, or the paths file or the
// profile exists but cannot be read (then nothing is read or written).  The
// messages ("! Error !") have been shown; after a size check the rest of the
// profile has still been read and written back.  The caller runs
// AbandonStartup, whose shutdown leaves the state files alone.  Else 1.
int LoadDeviceProfile();
// What reading the profile fills above config: the port manager's and the
// protocols' state of a port read afresh, and the link's workstation
// number.  Registered at start-up (ConnectLayers); a null hook is skipped.
struct ProfileHooks {
    void (*ClearPort)(int port) = nullptr;
    void (*SetWorkStation)(int32_t number) = nullptr;
};
void SetProfileHooks(const ProfileHooks &hooks);
// Clears the profile to its start-of-program state (tests).
void ProfileReset();
