// The well-formedness check behind the module function `validate`.
#pragma once

#include "common/bytes.hpp"

namespace quelmar {

// True when the document has exactly one root element, every element is
// closed by an end tag of the same name, and the reader reports no error.
// Text and other markup outside the root are accepted. Runs in one pass
// with no recursion, so any nesting depth is fine.
bool validate(Bytes source);

}  // namespace quelmar
