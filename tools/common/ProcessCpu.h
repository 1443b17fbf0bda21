// The calling process's CPU time, every thread together, for the benchmarks' cpu_pct figures
// (process CPU time over wall time, in percent of one core). Portable.
#pragma once

namespace ovts::tools {

// User plus kernel time the process has used so far, in seconds.
double ProcessCpuSeconds();

}  // namespace ovts::tools
