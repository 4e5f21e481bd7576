#include "option_table.h"

static const OptionEntry VandrelOptions[] = {
    {"/?", OPTION_USAGE, FIELD_NONE},
    {"/P:", OPTION_UNSIGNED, FIELD_PROVIDER_TYPE},
    {"/N:", OPTION_TEXT, FIELD_CONTAINER_NAME},
    {"/M", OPTION_FLAG, FIELD_MACHINE_KEYSET},
};

static const OptionEntry MorbeckOptions[] = {
    {"/?", OPTION_USAGE, FIELD_NONE},
    {"/P:", OPTION_UNSIGNED, FIELD_PROVIDER_TYPE},
    {"/N:", OPTION_TEXT, FIELD_CONTAINER_NAME},
    {"/E:", OPTION_UNSIGNED, FIELD_PUBLIC_EXPONENT},
    {"/L:", OPTION_SIGNED, FIELD_KEY_LENGTH},
    {"/F:", OPTION_TEXT, FIELD_KEY_FILE_PATH},
    {"/M", OPTION_FLAG, FIELD_MACHINE_KEYSET},
    {"/X", OPTION_FLAG, FIELD_EXPORTABLE},
};

static const OptionEntry TessaroOptions[] = {
    {"/?", OPTION_USAGE, FIELD_NONE},
    {"/P:", OPTION_UNSIGNED, FIELD_PROVIDER_TYPE},
    {"/N:", OPTION_TEXT, FIELD_CONTAINER_NAME},
    {"/F:", OPTION_TEXT, FIELD_KEY_FILE_PATH},
    {"/L:", OPTION_SIGNED, FIELD_KEY_LENGTH},
    {"/M", OPTION_FLAG, FIELD_MACHINE_KEYSET},
    {"/X", OPTION_FLAG, FIELD_EXPORTABLE},
};

static const OptionEntry OmbrixOptions[] = {
    {"/?", OPTION_USAGE, FIELD_NONE},
    {"/P:", OPTION_UNSIGNED, FIELD_PROVIDER_TYPE},
    {"/N:", OPTION_TEXT, FIELD_CONTAINER_NAME},
    {"/F:", OPTION_TEXT, FIELD_KEY_FILE_PATH},
    {"/M", OPTION_FLAG, FIELD_MACHINE_KEYSET},
    {"/X", OPTION_FLAG, FIELD_EXPORTABLE},
};

static const OptionEntry FaldrenOptions[] = {
    {"/?", OPTION_USAGE, FIELD_NONE},
    {"/P:", OPTION_UNSIGNED, FIELD_PROVIDER_TYPE},
    {"/N:", OPTION_TEXT, FIELD_CONTAINER_NAME},
    {"/F:", OPTION_TEXT, FIELD_KEY_FILE_PATH},
    {"/K:", OPTION_UNSIGNED, FIELD_BLOB_TYPE},
    {"/M", OPTION_FLAG, FIELD_MACHINE_KEYSET},
};

static const OptionEntry QuorvinOptions[] = {
    {"/?", OPTION_USAGE, FIELD_NONE},
    {"/P:", OPTION_UNSIGNED, FIELD_PROVIDER_TYPE},
    {"/M", OPTION_FLAG, FIELD_MACHINE_KEYSET},
};

static const OptionEntry ZetraskOptions[] = {
    {"/?", OPTION_USAGE, FIELD_NONE},
    {"/N:", OPTION_TEXT, FIELD_CONTAINER_NAME},
    {"/M", OPTION_FLAG, FIELD_MACHINE_KEYSET},
};

#define TABLE(t) \
    *count = sizeof(t) / sizeof((t)[0]); \
    return t

const OptionEntry* ProgramOptionTable(ToolProgram program, size_t* count) {
    switch (program) {
    case TOOL_VANDREL: TABLE(VandrelOptions);
    case TOOL_TESSARO: TABLE(TessaroOptions);
    case TOOL_MORBECK: TABLE(MorbeckOptions);
    case TOOL_FALDREN: TABLE(FaldrenOptions);
    case TOOL_OMBRIX: TABLE(OmbrixOptions);
    case TOOL_QUORVIN: TABLE(QuorvinOptions);
    case TOOL_ZETRASK: TABLE(ZetraskOptions);
    }
    *count = 0;
    return NULL;
}
