#pragma once
// The page layout kept in the current user's registry under the control's RegistryKey\Setup,
// loaded before every generation of pages. Only read here; an editor elsewhere writes it.
class TCustomListPrint;

// Loads the stored layout into Control (with UseRegistry off, only the six header and footer
// slot selectors return to their defaults). Raises on a value of the wrong type or a margin
// that is not a number; what was applied before stays.
void LoadRegistrySettings(TCustomListPrint& Control);

// The export group (file name, exchange pause, export switch) is read only while this is on;
// the memo print control switches it off for the whole process when it is made.
void SetReadRegistryExportGroup(bool Value);
