// The one error type of the StandardStMan reader, cell codecs and writer.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>
#include <variant>

#include "aipsio.h"
#include "datafile.h"
#include "record.h"

namespace orvala {

struct SsmError {
    // A stream error while decoding the header or index objects.
    struct AipsIo {
        AipsIoError error;
    };
    // A data file that could not be opened or mapped: "<path>: <os error>".
    struct FileIo {
        FileIoError error;
    };
    // Any other operating-system failure, reported without a path.
    struct Os {
        std::error_code error;
    };
    // The bucket file's header object is not a "StandardStMan".
    struct UnexpectedType {
        std::string found;
    };
    struct EndianMismatch {
        bool file_big_endian;
        bool table_big_endian;
    };
    // An index bucket that the file does not hold (or a negative first one).
    struct NoSuchBucket {
        int64_t bucket;
    };
    // Header fields that no bucket layout can satisfy.
    struct BadBucketSize {
        uint32_t bucket_size;
    };
    struct BadIndexOffset {
        int32_t offset;
        uint32_t bucket_size;
    };
    // The chain of index buckets comes back to a bucket it already passed.
    struct IndexChainLoop {
        int64_t bucket;
    };
    struct IndexNotFound {
        uint64_t index;
        uint64_t held;
    };
    // The settings ("SSM" blob) have no entry for this column position.
    struct NoColumnSettings {
        uint64_t position;
        uint64_t held;
    };
    struct RowNotCovered {
        uint64_t row;
    };
    struct CellOutside {
        uint64_t offset;
        uint64_t len;
        int64_t bucket;
    };
    struct ArrayTruncated {
        uint64_t promised;
        uint64_t present;
    };
    struct NotSsmColumn {
        std::string column;
        std::string data_manager_type;
    };
    struct ArrayFileMissing {
        std::string column;
        std::string file;
    };
    struct EmptyArrayRef {
        uint64_t row;
        std::string column;
    };
    struct ArrayRefOutside {
        int64_t ref;
        uint64_t len;
    };
    struct UnsupportedArrayElement {
        DataType type;
    };
    struct BadStringRef {
        int64_t bucket;
        int64_t offset;
        int64_t length;
    };
    // Not a failure for callers that read or write string buckets: a
    // variable-length string cell whose text lives in a string bucket.
    struct StringInBuckets {
        int64_t bucket;
        int64_t length;
    };
    // A type without a scalar cell encoding (Table, Record, an array type).
    struct NotScalar {
        std::string column;  // may be empty (the encoder knows no column)
        DataType type;
    };
    // An array value whose element count differs from its shape's product.
    struct ShapeMismatch {
        uint64_t shape_elements;
        uint64_t value_elements;
    };
    // Writer: "encode <table>.<column>: <inner message>".
    struct Encode {
        std::string table;
        std::string column;
        std::string message;
    };
    struct ExpectedArray {
        std::string table;
        std::string column;
    };
    struct ExpectedRecord {
        std::string table;
        std::string column;
        std::string value;  // the value's debug form
    };

    std::variant<AipsIo, FileIo, Os, UnexpectedType, EndianMismatch, NoSuchBucket, BadBucketSize,
                 BadIndexOffset, IndexChainLoop, IndexNotFound, NoColumnSettings, RowNotCovered,
                 CellOutside, ArrayTruncated, NotSsmColumn, ArrayFileMissing, EmptyArrayRef,
                 ArrayRefOutside, UnsupportedArrayElement, BadStringRef, StringInBuckets, NotScalar,
                 ShapeMismatch, Encode, ExpectedArray, ExpectedRecord>
        v;

    template <class T>
    bool is() const { return std::holds_alternative<T>(v); }
    template <class T>
    const T* get() const { return std::get_if<T>(&v); }

    std::string message() const;
};

template <class T>
using SsmResult = std::expected<T, SsmError>;

}  // namespace orvala
