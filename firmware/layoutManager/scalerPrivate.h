#ifndef KVR_SCALERPRIVATE_H
#define KVR_SCALERPRIVATE_H

/*
 * The register access and arithmetic of the scaler sub-module and the frame
 * buffer. Layout thread.
 */

#include <cstdint>

/*
 * (a - b) / b with 18 fractional bits as a 24-bit two's-complement number:
 * truncated toward zero when a >= b, else ceil(x - 1); b = 0 gives 0.
 */
uint32_t scalerRatioToFixed(uint32_t a, uint32_t b);
/* i for a == b, else (2, 3, 0, 1)[i]; 0 for i above 3. */
uint32_t scalerHeadIndexMap(uint32_t a, uint32_t b, uint32_t i);
/* One 16-bit register, waiting; 0 when the read fails. */
uint16_t scalerReadRegister(uint32_t device, uint32_t address);
/*
 * One 16-bit register, waiting. Returns 0 written, or the device manager's
 * non-zero status after an ERROR line naming the register.
 */
int frameBufferWriteRegister(uint32_t device, uint32_t address, uint16_t value);
/*
 * The scaler sub-module's register write: only FSM-FPGA and DPS-FPGA inside
 * their permitted ranges. Returns 0 written, -1 refused (an ERROR line), or
 * the device manager's non-zero status when the write failed (an ERROR line
 * naming the register). Callers pass the failure on without logging it again.
 */
int write2fpga(uint32_t device, uint32_t address, uint32_t value);

#endif
