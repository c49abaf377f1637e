/*
 * The device library's C API (oxTDC1) as Velmora imports it.
 *
 * Every call returns an int32 status; a negative value is an error code that
 * ox_get_err_msg() can describe. The records below cross the library boundary
 * unchanged, so their sizes and field offsets are fixed and checked.
 */
#ifndef OXTDC1_H
#define OXTDC1_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Codes the program relies on. */
#define OX_ERR_BUSY (-11)            /* a measurement is running; try again */
#define OX_ERR_CONNECTION_LOST (-90) /* the device is gone */

/* Pipe type of the user-callback data pipe. */
#define OX_PIPE_TYPE_USER_CALLBACKS 10

/* Size of the buffer that ox_get_err_msg() writes into. */
#define OX_ERR_MSG_SIZE 256

/* One detected event, delivered in contiguous arrays. */
typedef struct TdcEvent {
    uint32_t reserved0;
    uint32_t channel; /* channel number */
    uint8_t reserved1[16];
    uint64_t time; /* event time in device bins */
    uint64_t reserved2;
} TdcEvent;

/* The library's statistics block of one measurement. Words 0 to 15 are the
 * event counts of channels 0 to 15; the rest is carried, not read. */
typedef struct PipeStatistics {
    uint32_t words[256];
} PipeStatistics;

typedef void (*ox_cb_start_fn)(void *priv);
typedef void (*ox_cb_end_fn)(void *priv);
typedef void (*ox_cb_unused_fn)(void);
typedef void (*ox_cb_statistics_fn)(void *priv, const PipeStatistics *block);
typedef void (*ox_cb_events_fn)(void *priv, const TdcEvent *events, size_t count);

/* Callback table of the user-callback pipe (type 10). The library passes
 * `priv` back as the first argument of every callback. */
typedef struct PipeCallbacks {
    void *priv;
    ox_cb_start_fn start_of_meas;   /* slot 1 */
    ox_cb_end_fn end_of_meas;       /* slot 2 */
    ox_cb_unused_fn slot3;          /* slot 3, never empty */
    ox_cb_statistics_fn statistics; /* slot 4 */
    ox_cb_events_fn events;         /* slot 5 */
    ox_cb_unused_fn slot6;          /* slot 6, never empty */
} PipeCallbacks;

/* Third argument of ox_pipe_open2 for pipe type 10. Both records only need
 * to live for the duration of the open call. */
typedef struct PipeCallbackArgs {
    const PipeCallbacks *callbacks;
} PipeCallbackArgs;

int ox_tdc_init_inifile(const char *ini_path_utf8);
int ox_tdc_deinit2(int dev);
int ox_tdc_get_binsize2(int dev, double *binsize_ns);
int ox_tdc_start_measure2(int dev, int exposure_ms);
int ox_tdc_interrupt2(int dev);
int ox_tdc_get_corrections2(int dev, int *count, int *values);
int ox_tdc_set_corrections2(int dev, int count, const int *values, int reserved);
int ox_twi_read2(int dev, unsigned char address, unsigned char *buffer, int length, int flag);
int ox_twi_write2(int dev, unsigned char address, unsigned char *buffer, int length, int flag);
int ox_pipe_open2(int dev, int type, void *args);
int ox_pipe_close2(int dev, int pipe);
int ox_get_err_msg(int code, char *buffer);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(TdcEvent) == 40, "TdcEvent is 40 bytes on the wire");
static_assert(offsetof(TdcEvent, channel) == 4, "TdcEvent channel at offset 4");
static_assert(offsetof(TdcEvent, time) == 24, "TdcEvent time at offset 24");
static_assert(sizeof(PipeStatistics) == 1024, "the statistics block is 1024 bytes");
static_assert(sizeof(PipeCallbacks) == 7 * sizeof(void *), "seven pointer-sized callback slots");
static_assert(offsetof(PipeCallbacks, statistics) == 4 * sizeof(void *), "statistics is slot 4");
static_assert(offsetof(PipeCallbacks, events) == 5 * sizeof(void *), "events is slot 5");
static_assert(sizeof(PipeCallbackArgs) == sizeof(void *), "one pointer-sized field");
#else
_Static_assert(sizeof(TdcEvent) == 40, "TdcEvent is 40 bytes on the wire");
_Static_assert(sizeof(PipeStatistics) == 1024, "the statistics block is 1024 bytes");
#endif

#endif /* OXTDC1_H */
