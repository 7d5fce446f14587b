/* The dialog's identifiers and caption, shared by the resource script, the
   Win32 dialog and the Qt dialog: plain macros, so that the resource
   compiler reads them too. */
#ifndef ZMK_DIALOG_IDS_H
#define ZMK_DIALOG_IDS_H

#define IDC_PORT 3
#define IDC_PROGRAM 4
#define IDC_STATUS 5
#define ID_STEP_TIMER 6
#define ZMK_STEP_PERIOD_MS 5
#define ZMK_CAPTION "Vorlane Flash Programming Tool"

#endif
