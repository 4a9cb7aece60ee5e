// Start-up and shutdown of the two server channels of working mode 2.
#pragma once

// Creates the locks and opens the archive channel, then the log channel, reporting
// each. 1 on success; 0 when a channel failed to open (fsmode is then 0).
int nfile_open_channels();
// Closes both connections when fsmode is 2 and destroys the locks.
void nfile_close_channels();
