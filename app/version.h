/* The program's version record, the About entry's text and the icon's number as plain macros:
   the Windows resource compiler reads this file too, so it holds nothing but defines. */
#ifndef QDQM_APP_VERSION_H
#define QDQM_APP_VERSION_H

#define QDQM_FILE_VERSION_TEXT "3.19.0.7"
#define QDQM_FILE_VERSION_NUMBERS 3, 19, 0, 7
#define QDQM_PRODUCT_VERSION_TEXT "1.0.0.1"
#define QDQM_PRODUCT_VERSION_NUMBERS 1, 0, 0, 1
#define QDQM_VERSION_COMMENT "Beta"

/* Text resource of the About entry of the window's system menu. */
#define QDQM_ABOUT_MENU_STRING 101
#define QDQM_ABOUT_MENU_TEXT "&About Varnex..."
/* Application icon: window, task bar, About box. */
#define QDQM_APP_ICON 128

#endif
