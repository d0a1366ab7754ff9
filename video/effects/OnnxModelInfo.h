#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The name and declared shape of a model's first input and first output, read
// straight from the ONNX protocol-buffer bytes (OpenCV's DNN module does not
// report them). A dimension without a fixed size reads as -1.
struct OnnxTensorInfo
{
    std::string name;
    std::vector<int64_t> shape;
};

// False when the bytes are not a well-formed model with at least one input
// (that is not a weight) and one output. Never reads outside the given bytes.
bool readOnnxModelInfo(const char* data, size_t size, OnnxTensorInfo& input, OnnxTensorInfo& output);
