#ifndef KVR_SYSTEMCONFIGHANDLER_H
#define KVR_SYSTEMCONFIGHANDLER_H

/*
 * Layer: services. May include pcodeProcessor, layoutManager, probing,
 * deviceManager, serviceManager, platform, utils and hal.
 */

/*
 * The system-configuration service (service "systemConfigHandler"): programs
 * the video input probes of DPS-FPGA for the nine video inputs (black and
 * freeze zones and thresholds, the freeze limits of the input's format, the
 * luma-too-high threshold, the teletext pages to detect) and answers the pcode
 * that reboots the card. Its thread takes the video probes' format changes
 * from a small queue.
 */

struct serviceDescriptor;

extern serviceDescriptor systemConfigHandlerService;

/*
 * The video probes' change callback (a videoProbeChangeRecord: u32 at byte 4
 * non-zero when there is something to report, u32 input at byte 8, bit 0 of
 * byte 12 locked, bits 0-5 of byte 17 the format code). A locked input is
 * queued for the service's thread; a full queue drops the change with two
 * ERROR lines. Any thread; a null record does nothing.
 */
void probingDataChanged(const void *probeRecord);

#endif
