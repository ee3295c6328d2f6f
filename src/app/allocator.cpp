// The allocator's settings, read by jemalloc when the program starts. A
// burst (thousands of SIP subscriptions at once, a large save) leaves freed
// pages behind; a background thread hands them back to the system within a
// second instead of keeping them for the next burst.
extern "C" {
// NOLINTNEXTLINE: the name and type are jemalloc's.
const char* malloc_conf = "background_thread:true,dirty_decay_ms:1000,muzzy_decay_ms:0";
}
