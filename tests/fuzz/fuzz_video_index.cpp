#include "fuzzinputs.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    readIndexInput(QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)),
                   false);
    return 0;
}
