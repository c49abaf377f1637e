/*
 * Extra entry points of the simulated device, beyond the device library's
 * API: counters that tests and benchmarks check the event flow against.
 */
#ifndef OXSIM_H
#define OXSIM_H

#ifdef __cplusplus
extern "C" {
#endif

/* Number of events the device has detected since it was opened (delivered
 * to the pipe, dropped by the link, or dropped when no pipe was open), or a
 * negative code. */
long long oxsim_generated_events(int dev);

#ifdef __cplusplus
}
#endif

#endif /* OXSIM_H */
