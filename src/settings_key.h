#pragma once

// Deletes the current user's settings subkeys of both applications. A missing settings
// key, or a subkey that cannot be deleted, is passed over silently.
void RemoveSettingsSubkeys();
