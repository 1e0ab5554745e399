#pragma once
// The smoke check of a built program (scripts/demo --offscreen): with
// TARVI_SMOKE_CHECK=1 in its environment the program takes its user's part for one
// start, so it can run without a display or a person:
//   - the PIN is the first line of standard input; it is typed into the PIN dialog
//     once the dialog sees a card, and confirmed;
//   - every other modal window (message boxes included) is reported on standard
//     output and confirmed with its default button;
//   - once start-up has finished and the main window is up, a line
//     "smoke: main window up: <caption> | <panel 1> | <panel 2> | <panel 3>" is
//     printed and the main window is closed as the exit command closes it (its
//     close handler runs), after TARVI_SMOKE_HOLD seconds when that is set (time
//     for a screenshot), else at once;
//   - a start that does not reach the main window within
//     TARVI_SMOKE_TIMEOUT seconds (default 60) ends the process with exit code 3.
// Without the variable nothing of this exists.

// Installs the check when the environment asks for it; true when installed.
bool InstallSmokeCheck();
