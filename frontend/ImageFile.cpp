// The image file's check: read, decode, and divide into whole records.
#include "ImageFile.h"

#include "../loader/Image.h"

bool LoadImage(FILE* file, const char* fileName, unsigned char* image, size_t* length) {
    switch (ReadImageFile(file, image, kImageCapacity, length)) {
    case ImageRead::kReadError:
        printf("Error: File '%s' could not be read.\n", fileName);
        return false;
    case ImageRead::kTooLarge:
        printf("Error: File '%s' holds more than %u bytes.\n", fileName,
               static_cast<unsigned>(kImageCapacity));
        return false;
    case ImageRead::kOk:
        break;
    }
    if (*length == 0) {
        printf("Error: File '%s' holds no image data.\n", fileName);
        return false;
    }
    RecordFault fault;
    if (!CheckRecords(image, *length, &fault)) {
        printf("Error: File '%s' is truncated: the record at offset %u needs %u bytes, %u remain.\n",
               fileName, fault.offset, fault.needed, fault.remain);
        return false;
    }
    return true;
}
