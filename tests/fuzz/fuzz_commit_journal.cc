// The journal of a pending commit is read from the table directory when a
// table is opened, so its decoder must refuse any bytes cleanly. A journal
// that decodes must encode back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "commit_journal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    auto steps = orvala::decode_commit_journal(bytes);
    if (steps) {
        auto again = orvala::encode_commit_journal(*steps);
        if (again.size() != size || !std::equal(again.begin(), again.end(), bytes.begin())) std::abort();
    }
    return 0;
}
