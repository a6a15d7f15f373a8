// Resource identifiers of Quillfen.exe (shared by the .rc file and the code).
#pragma once

// The program's icon: the first icon of the file, shown by the shell and on
// every form that has no icon of its own.
#define IDI_APP 1

// Images of the main window's buttons.
#define IDI_LOAD 10
#define IDI_DB 11
#define IDI_SEARCH 12
#define IDI_HELP 13
