// What a trace costs: a read with the handle's trace on against the same
// read without it, in the same run.
#pragma once
#include <cstddef>
#include <optional>

namespace zqkbench {

// zqkDevFileRead of Bytes on a sim: device without latency, with the
// handle's trace on (to a file on the work folder's memory file system) and
// off, alternately Pairs times each: the median of the pairs' ratios, as the
// percent the trace adds. Nothing when a read fails.
std::optional<double> TraceReadOverheadPct(size_t Bytes, int Pairs);

}  // namespace zqkbench
