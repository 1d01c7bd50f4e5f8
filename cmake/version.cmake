# The release number, shared by the build and the packaging project of the
# Windows ZIP (cmake/windows-zip).
set(OMBRIX_VERSION 1.0.0)
