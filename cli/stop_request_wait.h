// What a wait for the operator's input watches beside the input, so that a
// stop asked for at any moment, before the wait began too, ends it.
#pragma once

namespace cli {

#ifdef _WIN32
// A manual-reset event, set by every stop and left set; null before the
// handlers are installed.
void* stopEvent();
#else
// A descriptor that is readable once a stop has been asked for; -1 before
// the handlers are installed.
int stopDescriptor();
#endif

}  // namespace cli
