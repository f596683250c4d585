#pragma once
// The tool's subcommands, each in one row of one table: its name and
// arguments, its synopsis, its line in "zqk --help" and its own help, the
// options that only some commands take, and what runs it. The usage text,
// "zqk COMMAND --help", the check of arguments and the dispatch all read it
// (the test of the tool checks zqk.1 and zqk.bash against "zqk --help").
#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

#include "tool.h"

namespace zqktool {

using UnitCommand = int (*)(Unit&, const Options&);
using ToolCommand = int (*)(const Options&);

struct Subcommand {
    const char* name;
    size_t least, most;     // arguments
    const char* arguments;  // as the list of commands shows them
    const char* synopsis;   // after "usage: zqk ": arguments and options
    const char* summary;    // its line in the list of commands
    const char* help;       // "zqk COMMAND --help", after the synopsis
    std::initializer_list<const char*> options;  // of those only some commands take (kRestrictedOptions)
    UnitCommand onUnit;     // on one unit, or on each with --all
    ToolCommand own;        // opens what it needs itself
};

// The options that apply to some commands only, as the table names them.
constexpr const char* kRestrictedOptions[] = {"-r", "--delete", "--dry-run", "-b", "-p", "-o",
                                              "--json", "--verify", "--modify-window", "--wait",
                                              "--watch"};

// The command called Name, nullptr for none.
const Subcommand* FindSubcommand(const std::string& Name);
// The commands that take Option, in the table's order, as "get, put".
std::string CommandsTaking(const std::string& Option);
// "zqk --help", and "zqk COMMAND --help".
std::string UsageText();
std::string HelpOf(const Subcommand& Command);
// "usage: zqk " and the synopsis: what wrong arguments are told.
std::string UsageLineOf(const Subcommand& Command);

}  // namespace zqktool
