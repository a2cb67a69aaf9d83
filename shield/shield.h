// The resident shield's state, taken at the start of a run and handed back at its end.
#ifndef SHIELD_SHIELD_H
#define SHIELD_SHIELD_H

#include <stdint.h>

#define SHIELD_DEVICE "\\\\.\\OrvFsh"
#define SHIELD_NO_STATE (-1)

// The shield's 4-byte state, or SHIELD_NO_STATE when none was saved.
extern int32_t saved_shield_state;

// Asks the shield for its state and keeps it; silent, whatever the device does.
void shield_save_state(void);

// Hands the saved state back unchanged; does nothing when none was saved. Silent.
void shield_restore_state(void);

#endif
