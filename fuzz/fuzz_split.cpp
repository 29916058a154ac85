// SplitFields on arbitrary texts.
#include <string>

#include "fuzz/common.h"
#include "platform/debug.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    SplitFields(text.c_str(), 1 + data[0] % 6);
    return 0;
}
