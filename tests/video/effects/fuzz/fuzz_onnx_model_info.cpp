// libFuzzer entry: the ONNX model-info reader must reject or read any bytes
// without reading outside them, looping forever or running out of memory.
#include "OnnxModelInfo.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    OnnxTensorInfo input, output;
    if (readOnnxModelInfo(reinterpret_cast<const char*>(data), size, input, output)) {
        // Names are cut from the input: never longer than it.
        if (input.name.size() > size || output.name.size() > size)
            __builtin_trap();
    }
    return 0;
}
