// SPDX-License-Identifier: MIT
//
// The command line, standard output, standard error and exit status.
#include "harness.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace
{

std::string bad_arg(const std::string &arg)
{
    return program() + ": bad arg " + arg + "\n";
}

enum class outcome {
    converted, // the output holds the converted input
    untouched, // an absent output stays absent, a present one unchanged
    any,       // the run failed after the output was opened
};

struct cli_case {
    const char *name;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
    outcome output;
    bool posix_only = false; // a folder or device as a file
};

void PrintTo(const cli_case &c, std::ostream *os)
{
    *os << c.name;
}

class cli : public scratch, public ::testing::WithParamInterface<cli_case>
{
};

TEST_P(cli, behaves_as_documented)
{
    const cli_case &c = GetParam();
    if (c.posix_only)
        POSIX_ONLY();
    const std::string input = noise(4099);
    write_file(path("in"), input);

    for (bool present : {false, true}) {
        SCOPED_TRACE(present ? "output present" : "output absent");
        if (present)
            write_file(path("out"), "earlier contents");
        else
            std::filesystem::remove(path("out"));

        result r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_PRED2(same_message, r.err, c.err);
        EXPECT_TRUE(same_bytes(read_file(path("in")), input));
        if (c.output == outcome::converted) {
            EXPECT_TRUE(same_bytes(read_file(path("out")), flipped(input)));
        } else if (c.output == outcome::untouched && present) {
            EXPECT_EQ(read_file(path("out")), "earlier contents");
        } else if (c.output == outcome::untouched) {
            EXPECT_EQ(listing(dir), std::vector<std::string>{"in"});
        }
    }
}

const std::string ok = "in\nout\n";

INSTANTIATE_TEST_SUITE_P(
    table, cli,
    ::testing::Values(
        cli_case{"no_argument", {}, 1, "", "", outcome::untouched},
        cli_case{"one_path", {"in"}, 1, "", "", outcome::untouched},
        cli_case{"two_paths", {"in", "out"}, 0, ok, "", outcome::converted},
        cli_case{"dash_b", {"in", "out", "-b"}, 0, ok, "", outcome::converted},
        cli_case{"dash_b_then_more",
                 {"in", "out", "-b", "-x", ""},
                 0,
                 ok,
                 "",
                 outcome::converted},
        cli_case{"capital_b",
                 {"in", "out", "-B"},
                 1,
                 "",
                 bad_arg("-B"),
                 outcome::untouched},
        cli_case{"extra_char",
                 {"in", "out", "-bb"},
                 1,
                 "",
                 bad_arg("-bb"),
                 outcome::untouched},
        cli_case{"no_dash",
                 {"in", "out", "b"},
                 1,
                 "",
                 bad_arg("b"),
                 outcome::untouched},
        cli_case{
            "empty", {"in", "out", ""}, 1, "", bad_arg(""), outcome::untouched},
        cli_case{"leading_space",
                 {"in", "out", " -b"},
                 1,
                 "",
                 bad_arg(" -b"),
                 outcome::untouched},
        cli_case{"bad_arg_before_missing_input",
                 {"missing", "out", "-x"},
                 1,
                 "",
                 bad_arg("-x"),
                 outcome::untouched},
        cli_case{"missing_input",
                 {"missing", "out"},
                 1,
                 "missing\n",
                 says("open", ENOENT),
                 outcome::untouched},
        cli_case{"missing_input_dash_b",
                 {"missing", "out", "-b"},
                 1,
                 "missing\n",
                 says("open", ENOENT),
                 outcome::untouched},
        cli_case{"output_folder_missing",
                 {"in", "nodir/out"},
                 1,
                 "in\nnodir/out\n",
                 says("open", ENOENT),
                 outcome::untouched},
        cli_case{"output_is_folder",
                 {"in", "."},
                 1,
                 "in\n.\n",
                 says("open", EISDIR),
                 outcome::untouched},
        cli_case{"input_is_folder",
                 {".", "out"},
                 1,
                 ".\n",
                 says("read", EISDIR),
                 outcome::untouched},
        cli_case{"output_device_full",
                 {"in", "/dev/full"},
                 1,
                 "in\n/dev/full\n",
                 says("write", ENOSPC),
                 outcome::any,
                 true}),
    named<cli_case>);

} // namespace
