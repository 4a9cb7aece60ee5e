// Test-only hooks of the transport. Internal: never exported, never called by the
// library itself. Neither hook is thread-safe: call them before the threads that use the
// transport start (a test's SetUp).
#pragma once

namespace gavo::net_testing {

// Forgets the trace log's once-per-process setup, so that the next net_log takes the
// executable folder afresh and writes the start line again.
void reset_trace_log();

// Makes the nth allocation (1-based, counted from now) of net_open_client fail, as if
// memory were exhausted; 0 removes the rule.
void fail_allocation(int nth);

}  // namespace gavo::net_testing
