// Automatic reconnection of both channels after a send failure (code -100) in working
// mode 2: runs inside NFile_LogError under both channel locks, and falls back to working
// mode 1 when the archive channel cannot be reopened.
#pragma once

void nfile_reconnect();
