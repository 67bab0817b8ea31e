#include "agent/storage/storage_driver.h"

Storage_Driver::~Storage_Driver() = default;
