#pragma once

// Shows that a Windows program is being started while wine fills the launcher's new prefix on
// an account's first Windows start (seconds, with no window of the program yet): the launcher's
// windows show the busy cursor and stay usable, until wine has taken the program or a minute
// has passed. Does nothing when no prefix is being made.
void showWineStartProgress();
