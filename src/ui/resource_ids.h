// Ids of the dialog templates and their controls, shared by the resource
// script and the code (plain defines, so that windres can read them too).
#pragma once

#define IDD_FOLDER_DIALOG 101
#define IDD_PROGRESS_WINDOW 104

// Progress window
#define IDC_ITEM_PROGRESS 1003
#define IDC_OVERALL_PROGRESS 1004
#define IDC_HEADING 1006
#define IDC_LOG_PANE 1008
#define IDC_ITEM_TEXT 1011
#define IDC_OVERALL_COUNTER 1012

// Folder dialog
#define IDC_BROWSE 3
#define IDC_FOLDER_EDIT 1000
