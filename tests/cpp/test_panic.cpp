#include <pthread.h>

#include <source_location>
#include <string>
#include <thread>

#include "check.hpp"
#include "base/panic.hpp"

using namespace tsl;

TEST_CASE(panic_remembers_thread_and_raising_line) {
    std::uint_least32_t line = 0;
    try {
        line = std::source_location::current().line(); panic("broken: " + std::to_string(7));
    } catch (const Panic& p) {
        CHECK_EQ(p.message(), std::string("broken: 7"));
        CHECK_EQ(std::string(p.what()), std::string("broken: 7"));
        CHECK_EQ(p.thread_name(), current_thread_name());
        CHECK_EQ(p.location().line(), line);
        CHECK_EQ(std::string(report_path(p.location().file_name())), std::string("tests/cpp/test_panic.cpp"));
        CHECK_EQ(p.report(), "thread '" + current_thread_name() + "' panicked at tests/cpp/test_panic.cpp:" +
                                 std::to_string(line) + ":\nbroken: 7\n");
    }
}

TEST_CASE(panic_helpers_report_their_caller) {
    std::uint_least32_t line = 0;
    try {
        line = std::source_location::current().line(); panic_index_oob(3, 5);
    } catch (const Panic& p) {
        CHECK_EQ(p.message(), std::string("index out of bounds: the len is 3 but the index is 5"));
        CHECK_EQ(p.location().line(), line);
    }
}

TEST_CASE(panic_on_a_named_thread_reports_that_name) {
    std::string thread, message;
    std::thread t([&] {
        pthread_setname_np(pthread_self(), "case-thread");
        try {
            panic("on a thread");
        } catch (const Panic& p) {
            thread = p.thread_name();
            message = p.message();
        }
    });
    t.join();
    CHECK_EQ(thread, std::string("case-thread"));
    CHECK_EQ(message, std::string("on a thread"));
    CHECK(current_thread_name() != "case-thread");
}

TEST_CASE(report_paths_start_at_the_source_folder) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"/work/tree/src/core/model/gate.cpp", "src/core/model/gate.cpp"},
        {"../../src/core/model/gate.cpp", "src/core/model/gate.cpp"},
        {"src/core/model/gate.cpp", "src/core/model/gate.cpp"},
        {"/home/src/checkout/src/core/x.hpp", "src/core/x.hpp"},
        {"/home/src/checkout/tests/cpp/test_x.cpp", "tests/cpp/test_x.cpp"},
        {"/opt/include/vector", "/opt/include/vector"},
        {"", ""},
    };
    for (const auto& c : cases) CHECK_EQ(std::string(report_path(c.in)), std::string(c.out));
}

CHECK_MAIN()
