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
//   - with TARVI_SMOKE_TOUR=FOLDER as well, before that line the check walks the
//     program's windows one by one (the PIN dialog, the main window, settings and
//     its folder picker, certificates, a contact, registration numbers, about,
//     signing the demo file, the main window with its signers, signature details,
//     the data sheet, the recipient picker encrypting for the demo user, the
//     encrypted file with its recipients, decrypting it): for each it prints
//     "smoke: shot NAME WINDOW X Y W H" (its X window id in hexadecimal and
//     its frame on the screen as Qt knows it) and waits
//     until FOLDER/NAME.done exists, then closes the window (scripts/screenshots).
// Without the variable nothing of this exists.

// Installs the check when the environment asks for it; true when installed.
bool InstallSmokeCheck();
