// Resource identifiers of the about box (shared by the .rc file and U_about).
#pragma once

// The about box's own icon.
#define IDI_ABOUT 20
// The banner picture (a GIF, stored as RCDATA).
#define IDR_ABOUT_BANNER 30
