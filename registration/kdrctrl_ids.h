/* The fixed identifiers of the KDRCtrl library, recorded here and nowhere
 * else: the IDL takes them from this file and the C++ code from the
 * definitions widl generates from the IDL. Once published they never change:
 * hosts store them in their forms and projects. */
#ifndef KDRCTRL_IDS_H
#define KDRCTRL_IDS_H

#define KDRCTRL_LIBID "E802126F-79E4-4251-8BC5-D1A0D00016E2"
#define KDRCTRL_IID_KDRCONTROLLER "EB8B5D80-8692-4401-B3B3-EB462F781CC9"
#define KDRCTRL_CLSID_KDRCONTROLLER "5A11AECD-BBA3-49E8-9671-16BE1E59E193"
#define KDRCTRL_IID_GENERAL "CBFFA6D7-2926-4BC2-AEF9-01AF6F51800E"
#define KDRCTRL_CLSID_GENERAL "E2531896-B7AF-42CD-9267-243FD4679EC0"
#define KDRCTRL_DIID_KDRCONTROLLER_EVENTS "5C1A8F95-3F12-4ECE-8226-547EBD4FD94D"

#endif
