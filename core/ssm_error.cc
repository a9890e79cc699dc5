#include "ssm_error.h"

#include "quoted.h"

namespace orvala {
namespace {

std::string num(uint64_t v) { return std::to_string(v); }
std::string num(int64_t v) { return std::to_string(v); }
const char* flag(bool b) { return b ? "true" : "false"; }

struct Printer {
    std::string operator()(const SsmError::AipsIo& e) const { return e.error.message(); }
    std::string operator()(const SsmError::FileIo& e) const { return e.error.message(); }
    std::string operator()(const SsmError::Os& e) const { return os_error_text(e.error); }
    std::string operator()(const SsmError::UnexpectedType& e) const {
        return "unexpected object type " + quoted_form(e.found) + ", expected " + quoted_form("StandardStMan");
    }
    std::string operator()(const SsmError::EndianMismatch& e) const {
        return std::string("data file endian flag ") + flag(e.file_big_endian) + " does not match table flag " +
               flag(e.table_big_endian);
    }
    std::string operator()(const SsmError::NoSuchBucket& e) const {
        return "index says bucket " + num(e.bucket) + " but the file has no such bucket";
    }
    std::string operator()(const SsmError::BadBucketSize& e) const {
        return "bucket size " + num(uint64_t{e.bucket_size}) + " is below the 16-byte minimum";
    }
    std::string operator()(const SsmError::BadIndexOffset& e) const {
        return "index offset " + num(int64_t{e.offset}) + " lies beyond a bucket of " +
               num(uint64_t{e.bucket_size}) + " bytes";
    }
    std::string operator()(const SsmError::IndexChainLoop& e) const {
        return "index bucket chain loops back to bucket " + num(e.bucket);
    }
    std::string operator()(const SsmError::IndexNotFound& e) const {
        return "index " + num(e.index) + " not found (file holds " + num(e.held) + ")";
    }
    std::string operator()(const SsmError::NoColumnSettings& e) const {
        return "StandardStMan settings have no column " + num(e.position) + " (they hold " + num(e.held) + ")";
    }
    std::string operator()(const SsmError::RowNotCovered& e) const {
        return "row " + num(e.row) + " not covered by any indexed bucket";
    }
    std::string operator()(const SsmError::CellOutside& e) const {
        return "cell at offset " + num(e.offset) + " (len " + num(e.len) + ") falls outside bucket " + num(e.bucket);
    }
    std::string operator()(const SsmError::ArrayTruncated& e) const {
        return "array element region is truncated: " + num(e.promised) + " elements promised, " + num(e.present) +
               " present";
    }
    std::string operator()(const SsmError::NotSsmColumn& e) const {
        return "column " + e.column + " has no StandardStMan data (data-manager type " + e.data_manager_type + ")";
    }
    std::string operator()(const SsmError::ArrayFileMissing& e) const {
        return "array column " + e.column + " needs the " + e.file + " array index file, which is missing";
    }
    std::string operator()(const SsmError::EmptyArrayRef& e) const {
        return "row " + num(e.row) + " of " + e.column + " has no array (empty reference)";
    }
    std::string operator()(const SsmError::ArrayRefOutside& e) const {
        return "array reference " + num(e.ref) + " falls outside the array index file (len " + num(e.len) + ")";
    }
    std::string operator()(const SsmError::UnsupportedArrayElement& e) const {
        return std::string("array elements of type ") + data_type_name(e.type) +
               " are not supported in the array index file yet";
    }
    std::string operator()(const SsmError::BadStringRef& e) const {
        return "bad string reference: bucket " + num(e.bucket) + ", offset " + num(e.offset) + ", length " +
               num(e.length);
    }
    std::string operator()(const SsmError::StringInBuckets& e) const {
        return "string data stored in string buckets (bucket nr " + num(e.bucket) + ", len " + num(e.length) +
               ") is not supported yet";
    }
    std::string operator()(const SsmError::NotScalar& e) const {
        std::string what = e.column.empty() ? std::string(data_type_name(e.type))
                                            : e.column + " (" + data_type_name(e.type) + ")";
        return "array columns are not supported yet (column " + what + ")";
    }
    std::string operator()(const SsmError::ShapeMismatch& e) const {
        return "array shape holds " + num(e.shape_elements) + " elements but the value has " +
               num(e.value_elements);
    }
    std::string operator()(const SsmError::Encode& e) const {
        return "encode " + e.table + "." + e.column + ": " + e.message;
    }
    std::string operator()(const SsmError::ExpectedArray& e) const {
        return e.table + "." + e.column + ": expected an array value for an array column";
    }
    std::string operator()(const SsmError::ExpectedRecord& e) const {
        return e.table + "." + e.column + ": expected a record cell, got " + e.value;
    }
};

}  // namespace

std::string SsmError::message() const { return std::visit(Printer{}, v); }

}  // namespace orvala
