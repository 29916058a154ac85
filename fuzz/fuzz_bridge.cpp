// The message bridge's unpacking of arbitrary copy-data records.
#include <cstring>
#include <vector>

#include "fuzz/common.h"
#include "link/bridge.h"
#include "platform/loop.h"
#include "shell/shell.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 8)
        return 0;
    FuzzSetUpDevice();
    static HWND main = CreateWindowProc(MainWndProc, false);
    Shell.MainWindow = main;
    COPYDATASTRUCT cds;
    std::memcpy(&cds.dwData, data, 4);
    uint32_t declared;
    std::memcpy(&declared, data + 4, 4);
    // The bus hands over the block it received; the record's count may lie.
    std::vector<uint8_t> block(data + 8, data + size);
    block.push_back(0);
    cds.cbData = declared > block.size() - 1 ? static_cast<uint32_t>(block.size() - 1) : declared;
    cds.lpData = block.data();
    BridgeReceive(main, 0, &cds);
    return 0;
}
