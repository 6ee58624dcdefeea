// Several chosen controllers updated at once: per port a pipeline in the
// order the port's schedule allows (app/port_run.h), the ports side by side
// (app/fleet.h), one line per controller on the board. Each controller goes
// through the same steps, prompts and report entries as a controller
// updated alone.
#pragma once

#include "app/front_end.h"

// Updates state->devices[0 .. deviceCount) and fills one report per device.
// On its end the summary has been written; after an interrupt,
// state->interrupted and state->interruptStatus are set and every
// controller's standing has been said. A programming error is noted in
// state->programmingError.
void RunChosenControllers(FrontEndState* state);
