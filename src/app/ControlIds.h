// Control identifiers and window class names of Quillfen's forms. The GUI
// tests find windows and controls by these, so they are kept in one place.
#pragma once

// Window classes of the four forms.
#define QF_CLASS_MAINDLG "TMainDlg"
#define QF_CLASS_DBDLG "TDBDlg"
#define QF_CLASS_ADDDLG "TAddDlg"
#define QF_CLASS_ABOUTDLG "TAboutDlg"

// Main window.
#define IDC_MAIN_MAP_GRP 100
#define IDC_MAIN_STATS_LBL 101
#define IDC_MAIN_LOAD_BTN 102
#define IDC_MAIN_DB_BTN 103
#define IDC_MAIN_CRASH_GRP 104
#define IDC_MAIN_ADDR_GRP 105
#define IDC_MAIN_ADDR_TXT 106
#define IDC_MAIN_HELP_LBL 107
#define IDC_MAIN_SEARCH_BTN 108
#define IDC_MAIN_HELP_BTN 109
#define IDM_MAIN_QUIT 201
#define IDM_MAIN_HELP 202
#define IDM_MAIN_ABOUT 203

// Database browser.
#define IDC_DB_TV 300
#define IDC_DB_GRP 301
#define IDC_DB_LOAD_BTN 302
#define IDC_DB_ADD_BTN 303
#define IDC_DB_CLOSE_BTN 304

// Add-version dialog.
#define IDC_ADD_PROJECT_GRP 400
#define IDC_ADD_PROJECT_CMB 401
#define IDC_ADD_VERSION_GRP 402
#define IDC_ADD_VERSION_TXT 403
#define IDC_ADD_OK_BTN 404
#define IDC_ADD_CANCEL_BTN 405

// About box.
#define IDC_ABOUT_IMAGE1 500
#define IDC_ABOUT_ALL_GRP 501
#define IDC_ABOUT_APPLICATION_GRP 502
#define IDC_ABOUT_APPNAME_LBL 503
#define IDC_ABOUT_VERSION_LBL 504
#define IDC_ABOUT_VELMORA_GRP 505
#define IDC_ABOUT_EMAIL_BTN 506
#define IDC_ABOUT_WEB_BTN 507
#define IDC_ABOUT_FORUM_BTN 508
#define IDC_ABOUT_OK_BTN 509
