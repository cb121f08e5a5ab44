// Stands in for the console attachment of the Windows GUI program: elsewhere the program keeps the
// terminal and the streams it was started with, so there is nothing to attach or let go.

#include "platform/console.h"

namespace Orv {

void attachParentConsole() {}

void releaseParentConsole() {}

} // namespace Orv
