#pragma once

#include <string>

// At start-up: load the stored settings into LiveSettings, or on a first run (no buddy
// address stored) store the first-run values and load those.
void InitSettings();

// Fills every field of LiveSettings from the per-user registry.
void LoadSettings();

// This computer's name for other copies when the user gave none: its host name.
std::string DefaultComputerName();
