// The "HINT" buttons: the password hint stored on the device, read from the
// HintDescriptor of its DescriptorSector and shown in a box. Pressing a
// button writes nothing to the device.
#pragma once

// Shows the hint of the device named `deviceName` (an empty name is passed
// as ""): "Hint:" and the hint, or "Sorry, no password hint was set.", both
// with caption "Password Hint". Loads and frees the device library itself;
// every failure ends the press after its message.
void ShowPasswordHint(const char* deviceName);
