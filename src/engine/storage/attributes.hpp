// Attributes of a dataset, in two forms for two different callers.
//
// AttrValue is what Python sees: a number keeps its width and signedness,
// text is UTF-8, and a value is written back as little-endian numbers or
// variable-length UTF-8 strings whatever it was stored as. That is enough to
// read and set attributes, and keeps the binding free of HDF5 types.
//
// AttributeSnapshot is what a rewrite needs: every attribute exactly as
// stored (type with its byte order, string kind and array shape, dataspace,
// name character set, raw bytes), so that a fresh copy of a factor file
// carries them unchanged. It owns HDF5 identifiers and the variable-length
// memory a read allocated, so it is moved, never copied, and is released
// under the library lock. Attributes holding references are refused: they
// point into their own file and mean nothing in the copy.
//
// The reads and writes are Dataset's members (datasets.hpp); this unit
// defines them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorbel::h5 {

class Dataset;

// An attribute value held in plain C++ form. Numbers keep their element width
// and signedness; text is kept as UTF-8 strings.
struct AttrValue {
    enum class Kind { Signed, Unsigned, Float, Text };
    Kind kind = Kind::Signed;
    size_t element_size = 8;              // bytes per number
    std::vector<uint64_t> dims;           // empty for a scalar
    std::vector<unsigned char> numbers;   // native byte order, packed
    std::vector<std::string> texts;       // Kind::Text

    static AttrValue int64_scalar(int64_t v);
    size_t element_count() const;
};

// Every attribute of a dataset exactly as stored: its HDF5 type (width, sign,
// byte order, string kind, array shape), its dataspace and its raw bytes, so
// that it can be written onto another dataset unchanged. Owns its type and
// dataspace identifiers and any variable-length memory that reading made.
class AttributeSnapshot {
public:
    AttributeSnapshot();
    AttributeSnapshot(AttributeSnapshot &&) noexcept;
    AttributeSnapshot &operator=(AttributeSnapshot &&) noexcept;
    AttributeSnapshot(const AttributeSnapshot &) = delete;
    AttributeSnapshot &operator=(const AttributeSnapshot &) = delete;
    ~AttributeSnapshot();

    size_t size() const { return entries_.size(); }

private:
    friend class Dataset;
    struct Entry;
    std::vector<std::unique_ptr<Entry>> entries_;
};

}  // namespace quorbel::h5
