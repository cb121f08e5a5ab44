#pragma once

namespace Orv {

// A Windows GUI program has no console of its own. attachParentConsole lets what the program
// prints next (help, version, errors in its options) reach the console it was started from, when
// there is one; a stream the caller redirected to a file or a pipe stays where it goes.
// releaseParentConsole lets that console go again, so that closing it no longer ends the program.
// Where a program always keeps the standard streams it was started with, both do nothing.
void attachParentConsole();
void releaseParentConsole();

} // namespace Orv
