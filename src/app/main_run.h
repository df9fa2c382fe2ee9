// The run as a whole: the command line, both scans, and the report they are drawn into.
#ifndef TVX_APP_MAIN_RUN_H_
#define TVX_APP_MAIN_RUN_H_

#include <cstdint>

namespace Module1 {

/// Runs the program once: banner, usage text for "/?" or a help word, or both scans with the
/// console report written as they go (or, with "/json" or "--json", one JSON document at the
/// end), and the key wait unless "/batch", "--batch" or a JSON report was asked for. Each word
/// that starts with "/" or "-" and is no option is named on standard error first, then a
/// TVX_TIMEOUT that gives no device timeout (the default, 20 seconds, is used). Returns the exit
/// status: 0 when the run completed and found nothing, 3 when anything was found, 2 when nothing
/// was found and no drive could be read. A failed write throws error 1001 or 1002 out of it.
int32_t Main();

}  // namespace Module1

#endif  // TVX_APP_MAIN_RUN_H_
