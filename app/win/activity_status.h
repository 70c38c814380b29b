// What the dialog's status line says about the exchanges the link serves.
#pragma once

#include <string>

#include "link/link_activity.h"
#include "link/status.h"

namespace ql {

// A system code (GetLastError()) in a few words: the common ones in the
// program's own, any other in the system's text without its closing period,
// "error N" when the system has none.
std::string SystemErrorWords(Status code);

// Why a port could not be opened, in a few words: the port is held by
// another program, is not there, or the system's words.
std::string PortOpenProblem(Status code);

// The status line's text for an activity the user is to see: a failed
// upload. Empty for every other kind, progress included.
std::string ActivityStatusText(const LinkActivity& activity);

}  // namespace ql
