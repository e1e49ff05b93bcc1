// The image file's check: read, decode, and divide into whole records.
#include "ImageFile.h"

#include "../loader/Image.h"

namespace {

bool Refuse(std::string* message, const char* text) {
    if (message != nullptr) {
        *message = text;
    } else {
        fputs(text, stdout);
    }
    return false;
}

}  // namespace

bool LoadImage(FILE* file, const char* fileName, unsigned char* image, size_t* length, std::string* message) {
    char text[8400];  // the longest path a system opens, and the words
    switch (ReadImageFile(file, image, kImageCapacity, length)) {
    case ImageRead::kReadError:
        snprintf(text, sizeof text, "Error: File '%s' could not be read.\n", fileName);
        return Refuse(message, text);
    case ImageRead::kTooLarge:
        snprintf(text, sizeof text, "Error: File '%s' holds more than %u bytes.\n", fileName,
                 static_cast<unsigned>(kImageCapacity));
        return Refuse(message, text);
    case ImageRead::kOk:
        break;
    }
    if (*length == 0) {
        snprintf(text, sizeof text, "Error: File '%s' holds no image data.\n", fileName);
        return Refuse(message, text);
    }
    RecordFault fault;
    if (!CheckRecords(image, *length, &fault)) {
        snprintf(text, sizeof text, "Error: File '%s' is truncated: the record at offset %u needs %u bytes, %u remain.\n",
                 fileName, fault.offset, fault.needed, fault.remain);
        return Refuse(message, text);
    }
    return true;
}
