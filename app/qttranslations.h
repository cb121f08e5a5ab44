#pragma once

namespace Orv {

// Puts Qt's own Russian texts in place (network errors, the command line's help), so that what Qt
// reports reads in the same language as the sentences of the agent around it. They are looked for
// beside the program first, where the Windows package carries them, then where Qt keeps its
// translations. False, with a warning in the log, when none were found: Qt then speaks English.
bool installQtTranslations();

} // namespace Orv
