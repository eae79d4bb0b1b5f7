// Guard against a running game client, the start of the next program, and
// the pause that keeps the progress window serviced.
#pragma once

// Asks the client's main window (class "pluvoScreen") to close, at most three
// times, 100 ms apart. True when no such window is left.
bool CloseRunningClient();

// Starts `path` with `commandLine` (null: the path serves as command line)
// and does not wait for it. True when the process was created.
bool LaunchProgram(const char* path, const char* commandLine);

// Sleeps about three seconds in ten steps, draining the thread's message
// queue after each, so the progress window stays responsive.
void PauseWithMessages();
