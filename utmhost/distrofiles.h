#pragma once

#include <QString>

namespace Orv {

// An image reference: 1 to 201 characters of lower-case letters, digits and . / _ : -, not
// starting with punctuation. The whole text must match: a trailing line feed is refused.
bool isValidImageRef(const QString &ref);

} // namespace Orv
