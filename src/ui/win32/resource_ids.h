/* Resource and control identifiers of the Win32 windows (C and windres). */
#ifndef VR_UI_WIN32_RESOURCE_IDS_H
#define VR_UI_WIN32_RESOURCE_IDS_H

#define VR_MANIFEST_ID 2

#define IDD_TUNE_PARAMS 100
#define IDC_LABEL16 101
#define IDC_LABEL17 102
#define IDC_BEVEL1 103
#define IDC_CRITICAL_TIME 104
#define IDC_CRITICAL_TIME_SPIN 105
#define IDC_CONNECTION_TYPE 106
#define IDC_GRAD 107

#endif
