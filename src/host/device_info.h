#pragma once

// Prints the 20-line property report of every device on standard output.
void printDeviceInfo();
