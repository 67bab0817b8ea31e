"""The error every endpoint module of the development backupd raises: the
handler answers it with its status and {"error": message}."""


class Http_Error(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message
