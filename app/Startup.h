#pragma once

class UserInteraction;

// The process from start to the end of the event loop: log, single-instance guard,
// update and login gates, the managers, the optional package argument and the window.
// Returns the exit code.
int runApplication(int &argc, char **argv, UserInteraction *interaction);
