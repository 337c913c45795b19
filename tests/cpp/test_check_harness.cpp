// The unit-test harness itself: failure reports show both values, and cases
// get a scratch directory that goes away with the program.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "check.hpp"

namespace {

enum class Colour : unsigned char { red = 3 };

struct Named {
    std::string to_string() const { return "named"; }
};

}  // namespace

TEST_CASE(values_are_shown_readably) {
    CHECK_EQ(check::show(42), std::string("42"));
    CHECK_EQ(check::show(true), std::string("true"));
    CHECK_EQ(check::show(std::uint8_t{7}), std::string("7"));
    CHECK_EQ(check::show(std::string("ab")), std::string("\"ab\""));
    CHECK_EQ(check::show(Colour::red), std::string("3"));
    CHECK_EQ(check::show(Named{}), std::string("named"));
    CHECK_EQ(check::show(std::vector<int>{1, 2}), std::string("[1, 2]"));
    CHECK_EQ(check::show(std::make_pair(1, std::optional<int>())), std::string("(1, none)"));
}

TEST_CASE(integers_compare_by_value_across_signedness) {
    CHECK(check::equal(std::size_t{3}, 3));
    CHECK(!check::equal(-1, static_cast<unsigned>(-1)));
}

TEST_CASE(a_failed_equality_counts_once) {
    const int before = check::failures();
    int evaluations = 0;
    auto next = [&] { return ++evaluations; };
    check::check_eq(next(), 5, __FILE__, __LINE__, "next() == 5 (an expected failure)");
    CHECK_EQ(evaluations, 1);
    CHECK_EQ(check::failures(), before + 1);
    check::failures() = before;
}

TEST_CASE(scratch_dirs_live_under_tmpdir_and_go_with_their_owner) {
    const std::string base = check::scratch_path("tmpdir");
    CHECK_EQ(mkdir(base.c_str(), 0700), 0);
    const std::optional<std::string> old =
        std::getenv("TMPDIR") ? std::optional<std::string>(std::getenv("TMPDIR")) : std::nullopt;
    setenv("TMPDIR", base.c_str(), 1);
    {
        const check::ScratchDir a, b;
        CHECK(a.path().starts_with(base + "/tessellan_test_"));
        CHECK(a.path() != b.path());
        std::ofstream(a.path() + "/file") << "x";
        CHECK_EQ(mkdir((a.path() + "/sub").c_str(), 0700), 0);
        CHECK_EQ(access((a.path() + "/file").c_str(), F_OK), 0);
    }
    if (old) setenv("TMPDIR", old->c_str(), 1);
    else unsetenv("TMPDIR");
    CHECK_EQ(rmdir(base.c_str()), 0);  // fails unless both went, with their contents
}

CHECK_MAIN()
