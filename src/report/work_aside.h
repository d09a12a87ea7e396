#pragma once

#include <chrono>
#include <future>
#include <system_error>
#include <type_traits>

#include "report/reporter.h"

namespace mdf {

// Runs work on a thread of its own while this thread goes on with the front end's events (a
// window stays responsive through a long read, decode or sort), and returns what work returned.
// The caller makes sure that nothing work reads changes meanwhile: it runs as a command, which
// refuses every other. Work runs here when no thread can be had.
template <typename Work>
std::invoke_result_t<Work&> workAside(Reporter& reporter, Work& work) {
    std::future<std::invoke_result_t<Work&>> done;
    try {
        done = std::async(std::launch::async, [&work] { return work(); });
    } catch (const std::system_error&) {
        return work();
    }
    // Events are let in at least once, however short the work: whoever clicks meanwhile meets
    // the same refusal whether the work takes a millisecond or a minute.
    do
        reporter.processEvents();
    while (done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready);
    return done.get();
}

}  // namespace mdf
