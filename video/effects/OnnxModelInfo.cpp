#include "OnnxModelInfo.h"

#include <algorithm>
#include <string_view>

namespace {

// One protocol-buffer message: a bounded cursor over its bytes.
class Reader
{
public:
    Reader(const char* data, size_t size)
        : _p(reinterpret_cast<const uint8_t*>(data))
        , _end(_p + size)
    {}

    bool atEnd() const { return _p >= _end; }

    bool varint(uint64_t& v)
    {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (_p >= _end)
                return false;
            const uint8_t b = *_p++;
            v |= uint64_t(b & 0x7f) << shift;
            if (!(b & 0x80))
                return true;
        }
        return false;
    }

    // Next field: its number, wire type and, for length-delimited fields, the
    // bytes. Fields of other wire types are skipped by the caller via skip().
    bool field(uint32_t& number, uint32_t& wire, Reader& sub)
    {
        uint64_t key = 0;
        if (!varint(key))
            return false;
        number = uint32_t(key >> 3);
        wire = uint32_t(key & 7);
        switch (wire) {
        case 0: {
            uint64_t ignored;
            return varint(ignored);
        }
        case 1:
            return advance(8);
        case 5:
            return advance(4);
        case 2: {
            uint64_t len = 0;
            if (!varint(len) || len > uint64_t(_end - _p))
                return false;
            sub = Reader(reinterpret_cast<const char*>(_p), size_t(len));
            _p += len;
            return true;
        }
        default:
            return false; // groups are not used by ONNX
        }
    }

    // Like field(), but returns the value of a varint field.
    bool fieldWithValue(uint32_t& number, uint32_t& wire, Reader& sub, uint64_t& value)
    {
        const uint8_t* start = _p;
        uint64_t key = 0;
        if (!varint(key))
            return false;
        if ((key & 7) == 0) {
            number = uint32_t(key >> 3);
            wire = 0;
            return varint(value);
        }
        _p = start;
        return field(number, wire, sub);
    }

    std::string_view bytes() const { return {reinterpret_cast<const char*>(_p), size_t(_end - _p)}; }

private:
    bool advance(size_t n)
    {
        if (n > size_t(_end - _p))
            return false;
        _p += n;
        return true;
    }

    const uint8_t* _p;
    const uint8_t* _end;
};

// ValueInfoProto: name (1), type (2) -> TypeProto.tensor_type (1) -> shape (2)
// -> dim (1) -> dim_value (1) | dim_param (2).
bool readValueInfo(Reader r, OnnxTensorInfo& out)
{
    out = {};
    uint32_t n, w;
    Reader sub(nullptr, 0);
    while (!r.atEnd()) {
        if (!r.field(n, w, sub))
            return false;
        if (w != 2)
            continue;
        if (n == 1) {
            out.name = std::string(sub.bytes());
        } else if (n == 2) {
            Reader type = sub, tensor(nullptr, 0);
            while (!type.atEnd()) {
                if (!type.field(n, w, tensor))
                    return false;
                if (n != 1 || w != 2)
                    continue;
                Reader shape(nullptr, 0);
                while (!tensor.atEnd()) {
                    if (!tensor.field(n, w, shape))
                        return false;
                    if (n != 2 || w != 2)
                        continue;
                    Reader dim(nullptr, 0);
                    while (!shape.atEnd()) {
                        if (!shape.field(n, w, dim))
                            return false;
                        if (n != 1 || w != 2)
                            continue;
                        int64_t size = -1;
                        Reader item(nullptr, 0);
                        uint64_t value = 0;
                        while (!dim.atEnd()) {
                            if (!dim.fieldWithValue(n, w, item, value))
                                return false;
                            if (n == 1 && w == 0)
                                size = value <= uint64_t(INT64_MAX) ? int64_t(value) : -1;
                        }
                        out.shape.push_back(size);
                    }
                }
            }
        }
    }
    return true;
}

} // namespace

bool readOnnxModelInfo(const char* data, size_t size, OnnxTensorInfo& input, OnnxTensorInfo& output)
{
    if (!data || size == 0)
        return false;
    Reader model(data, size);
    Reader graph(nullptr, 0);
    bool haveGraph = false;
    uint32_t n, w;
    Reader sub(nullptr, 0);
    while (!model.atEnd()) {
        if (!model.field(n, w, sub))
            return false;
        if (n == 7 && w == 2) {
            graph = sub;
            haveGraph = true;
        }
    }
    if (!haveGraph)
        return false;

    // Weights (initializer, 5; their name is field 8) may also be listed as
    // inputs in older models; the model's input is the first one that is not.
    std::vector<std::string_view> weights;
    std::vector<Reader> inputs, outputs;
    while (!graph.atEnd()) {
        if (!graph.field(n, w, sub))
            return false;
        if (w != 2)
            continue;
        if (n == 11) {
            inputs.push_back(sub);
        } else if (n == 12) {
            outputs.push_back(sub);
        } else if (n == 5) {
            Reader t = sub, name(nullptr, 0);
            uint64_t value;
            while (!t.atEnd()) {
                if (!t.fieldWithValue(n, w, name, value))
                    return false;
                if (n == 8 && w == 2)
                    weights.push_back(name.bytes());
            }
        }
    }
    bool found = false;
    for (const Reader& r : inputs) {
        OnnxTensorInfo info;
        if (!readValueInfo(r, info))
            return false;
        if (std::find(weights.begin(), weights.end(), std::string_view(info.name)) == weights.end()) {
            input = std::move(info);
            found = true;
            break;
        }
    }
    if (!found || outputs.empty())
        return false;
    return readValueInfo(outputs.front(), output);
}
