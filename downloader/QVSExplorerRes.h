// Resource ids of the QVS explorer dialog and its pop-up menu.
#pragma once

#define IDD_QVS_EXPLORER 141
#define IDR_QVS_POPUP 142

#define IDC_QVSX_TREE 1022
#define IDC_QVSX_LOG 1023
#define IDC_QVSX_FILES 1024
#define IDC_QVSX_PROGRESS 1025
#define IDC_QVSX_NAND_DUMP 1048
#define IDC_QVSX_DUMP_CONTINUE 1049

#define ID_QVSX_DUMP 32771
#define ID_QVSX_DELETE 32772
#define ID_QVSX_STATUS 32773
#define ID_QVSX_ADD 32774
#define ID_QVSX_FOLDER_DUMP 32775
