/* Resource identifiers of KDRCtrl.ocx. */
#ifndef KDRCTRL_RESOURCE_IDS_H
#define KDRCTRL_RESOURCE_IDS_H

/* The type library: hosts and LoadTypeLib look for TYPELIB 1. */
#define KDRCTRL_TYPELIB_ID 1
/* The 16 x 15 toolbox bitmap named by the ToolboxBitmap32 registry value. */
#define KDRCTRL_TOOLBOX_BITMAP_ID 1

#endif
