// Dialog templates of the properties sheet's pages and their controls.
#pragma once

#define IDD_EMAIL_PROPS    133
#define IDD_GENERAL_PROPS  137
#define IDD_TIMEOUT_PROPS  138
#define IDD_FORWARD_PROPS  140
// The E-mail page's OAuth 2.0 dialog.
#define IDD_OAUTH_SETTINGS 139

// Combo-box item lists carried with each template: resource type 240, the
// same name as the template (read by FillListsFromTemplate, PageControls.h).
#define RT_DLGINIT 240

// General page.
#define IDC_REPORT_START_STOP     1006
#define IDC_REPORT_CONFIGURATION  1007
#define IDC_REPORT_TIMEOUTS       1008
#define IDC_REPORT_MAIL           1009
#define IDC_AUTO_START            1010
#define IDC_PORT_NAME             1011
#define IDC_BAUD_RATE             1012
#define IDC_STOP_BITS             1013
#define IDC_BYTE_SIZE             1014
#define IDC_PARITY                1015
#define IDC_TIMESTAMP             1016
#define IDC_LOG_ROTATION          1017
#define IDC_NAME_PREVIEW          1018
#define IDC_LOG_FILENAME          1019
#define IDC_OPEN_LOG              1020
#define IDC_FLOW_CONTROL          1050

// E-mail page.
#define IDC_SMTP_SERVER           1021
#define IDC_SMTP_FROM             1022
#define IDC_SMTP_TO               1023
#define IDC_EMAIL_NOW             1024
// E-mail page, the optional values of a hosted mail service.
#define IDC_SMTP_PORT             1044
#define IDC_SMTP_SECURITY         1045
#define IDC_SMTP_USER             1046
#define IDC_SMTP_TRUSTED_CA       1047
#define IDC_BROWSE_CA             1048
#define IDC_SMTP_PASSWORD         1049
// E-mail page, how finished logs are mailed and the sign-in.
#define IDC_MAIL_RETRY_HOURS      1051
#define IDC_MAIL_ATTACHMENT       1052
#define IDC_SMTP_AUTH_METHOD      1053
#define IDC_OAUTH_SETTINGS        1054

// The OAuth 2.0 dialog.
#define IDC_OAUTH_TOKEN_URL       1055
#define IDC_OAUTH_CLIENT_ID       1056
#define IDC_OAUTH_CLIENT_SECRET   1057
#define IDC_OAUTH_CERTIFICATE     1058
#define IDC_OAUTH_SCOPE           1059

// Forwarding page.
#define IDC_FORWARD_COLLECTOR     1060
#define IDC_FORWARD_TRANSPORT     1061
#define IDC_FORWARD_FACILITY      1062
#define IDC_FORWARD_TRUSTED_CA    1063
#define IDC_FORWARD_BROWSE_CA     1064
#define IDC_FORWARD_CERTIFICATE   1065

// Timeout page. The day boxes' identifiers do not follow the days' order.
#define IDC_TIMEOUT_CMD           1025
#define IDC_NET_SEND_USERS        1026
#define IDC_SUNDAY                1027
#define IDC_TUESDAY               1028
#define IDC_MONDAY                1029
#define IDC_WEDNESDAY             1030
#define IDC_FRIDAY                1031
#define IDC_SATURDAY              1032
#define IDC_THURSDAY              1033
#define IDC_NEVER_TIMEOUT         1034
#define IDC_TIMEOUT_AFTER         1035
#define IDC_RUN_ONCE              1036
#define IDC_RUN_EVERY             1037
#define IDC_ENTIRE_DAY            1038
#define IDC_START_TIME            1040
#define IDC_END_TIME              1041
#define IDC_TIMEOUT_SECONDS       1042
#define IDC_INTERVAL_SECONDS      1043
