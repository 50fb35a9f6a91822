// The "HINT" buttons: the password hint stored on the device, read from the
// HintDescriptor of its DescriptorSector and shown in a box. Pressing a
// button writes nothing to the device.
#pragma once

// Shows the hint of the device named `deviceName` (an empty name is passed
// as ""): "Hint:" and the hint, or "Sorry, no password hint was set.", both
// with caption "Password Hint". Loads and frees the device library itself;
// every failure ends the press after its message.
void ShowPasswordHint(const char* deviceName);

// The key filter of the hint edits of the set and change dialogs: ASCII
// letters and digits, the blank, backspace and DEL. The hint is then ASCII
// text with one UTF-16LE unit per character on the device.
bool IsHintCharacter(char key);
