#pragma once

struct CommandLine;

// --show and --set: reads the folder's settings, changes them, writes them as the window
// saves them and prints them. Refused (status 3) while a copy of the program holds the folder.
// Needs a QCoreApplication.
int runSettingsCommand(const CommandLine &command);
