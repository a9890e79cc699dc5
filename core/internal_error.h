// A broken internal invariant: something no input can cause. It is thrown,
// not returned, and ends the current call; the binding layer turns it into
// the module's internal-error exception (derived from BaseException).
#pragma once

#include <stdexcept>
#include <string>

namespace orvala {

class InternalError : public std::logic_error {
public:
    explicit InternalError(const std::string& what) : std::logic_error(what) {}
};

}  // namespace orvala
