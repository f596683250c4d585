// The summary of a transfer as JSON (--json): the counts of the summary
// line, each step with its outcome, and every failure line.
#include "transfer.h"

#include <cstdio>

namespace zqktool::transfer {

namespace {

std::string Field(const char* name, const std::string& value)
{
    return std::string(", \"") + name + "\": " + value;
}

std::string Number(int64_t n)
{
    return std::to_string(n);
}

std::string JsonList(const std::vector<std::string>& items, bool quoted)
{
    std::string list = "[";
    for (size_t i = 0; i < items.size(); ++i)
        list += (i ? ",\n    " : "\n    ") + (quoted ? JsonString(items[i]) : items[i]);
    return list + (items.empty() ? "]" : "\n  ]");
}

const char* ActionOf(const Step& step)
{
    switch (step.kind) {
    case Step::MakeFolder: return "mkdir";
    case Step::Delete: return "delete";
    default: return "copy";
    }
}

}  // namespace

void Job::Record(const Step& step, bool ok, const std::string& error)
{
    if (!opts_.json)
        return;
    std::string item = std::string("{\"action\": \"") + ActionOf(step) + "\"";
    if (step.kind == Step::Copy)
        item += Field("from", JsonString(step.from)) + Field("to", JsonString(step.to)) +
                Field("bytes", Number(opts_.dryRun || stepBytes_ < 0 ? step.size : stepBytes_));
    else
        item += Field("path", JsonString(step.to));
    if (step.kind == Step::Delete)
        item += Field("folder", step.folder ? "true" : "false");
    if (stepBytes_ == 0 && ok && step.kind == Step::Copy && !opts_.dryRun)
        item += Field("empty", "true");  // nothing was sent
    item += Field("ok", ok ? "true" : "false");
    if (!ok)
        item += Field("error", JsonString(error));
    items_.push_back(item + "}");
}

std::string Job::JsonSummary(double seconds) const
{
    char time[32];
    std::snprintf(time, sizeof time, "%.3f", seconds);
    return "{\n  \"command\": " + JsonString(opts_.command) + Field("dryRun", opts_.dryRun ? "true" : "false") +
           Field("files", Number(copied_)) + Field("bytes", Number(bytes_)) + Field("upToDate", Number(upToDate_)) +
           Field("deleted", Number(deleted_)) + Field("empty", Number(skipped_)) + Field("failed", Number(failed_)) +
           Field("seconds", opts_.dryRun ? "0" : time) + ",\n  \"items\": " + JsonList(items_, false) +
           ",\n  \"errors\": " + JsonList(errors_, true) + "\n}";
}

}  // namespace zqktool::transfer
