#pragma once

namespace vantor {

// The numbers of the commands of menus, toolbar and keys. The framework's own commands keep the
// framework's numbers.
enum CommandId : int {
    ID_NONE = 0,  // a toolbar position that does nothing
    ID_FIND_NEXT_MESSAGE = 32773,
    ID_CAPTURE_START = 32775,
    ID_CAPTURE_STOP = 32776,
    ID_CAPTURE_OPTIONS = 32777,
    ID_VIEW_OPTIONS = 32781,
    ID_FILTER_ENABLE = 32785,
    ID_FILTER_DISABLE = 32786,
    ID_FILTER_OPTIONS = 32787,
    ID_VIEW_EXPAND_ALL = 32788,
    ID_VIEW_COLLAPSE_ALL = 32789,
    ID_FIND_MESSAGE = 32790,
    ID_HELP_CONTENTS = 32794,
    ID_HELP_HTTP = 32795,
    ID_VIEW_DECODED_BODY = 32796,
    ID_FILE_EXPORT_HAR = 32797,
    ID_CAPTURE_TERMINAL = 32798,
    ID_FILE_IMPORT_CAPTURE = 32799,
    ID_CAPTURE_RUN_PROGRAM = 32800,
    ID_CAPTURE_ALL_PROGRAMS = 32801,
    ID_FILE_NEW = 57600,
    ID_FILE_OPEN = 57601,
    ID_FILE_SAVE = 57603,
    ID_FILE_SAVE_AS = 57604,
    ID_FILE_MRU_FILE1 = 57616,
    ID_EDIT_COPY = 57634,
    ID_EDIT_FIND = 57636,
    ID_EDIT_REPEAT = 57640,
    ID_APP_ABOUT = 57664,
    ID_APP_EXIT = 57665,
    ID_VIEW_TOOLBAR = 59392,
    ID_VIEW_STATUS_BAR = 59393,
};

}  // namespace vantor
