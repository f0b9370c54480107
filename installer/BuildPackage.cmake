# Builds the Windows Installer package with msitools' wixl:
#
#   cmake -DVERSION=x.y.z -DBIN_DIR=DIR -DOUTPUT=FILE.msi [-DWXS=FILE.wxs] [-DWIXL=wixl]
#         [-DMSIBUILD=msibuild] -P installer/BuildPackage.cmake
#
# BIN_DIR holds the programs and CorvaneInstallerActions.dll (the windows preset's bin). WXS is
# the package source, installer/Corvane.wxs unless given (the tests build a variant of it); the
# PowerShell scripts it ships are taken from installer/scripts, the administrative template
# (Corvane.admx, en-US/Corvane.adml) from policy.
foreach(required VERSION BIN_DIR OUTPUT)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "BuildPackage.cmake needs -D${required}=...")
  endif()
endforeach()
if(NOT DEFINED WXS)
  set(WXS ${CMAKE_CURRENT_LIST_DIR}/Corvane.wxs)
endif()
if(NOT DEFINED WIXL)
  set(WIXL wixl)
endif()
if(NOT DEFINED MSIBUILD)
  set(MSIBUILD msibuild)
endif()
if(NOT VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "VERSION must be major.minor.patch (Windows Installer compares three fields), got ${VERSION}")
endif()

# One product code per version, the same at every build: installing the same version again is
# a repair of that product, and a newer version is a different product that replaces it.
set(upgrade_code 5FFF734E-8C57-41D2-A202-F371A0CC2A3D)
string(UUID product_code NAMESPACE ${upgrade_code} NAME "Corvane ${VERSION} x64" TYPE SHA1 UPPER)

get_filename_component(output ${OUTPUT} ABSOLUTE)
get_filename_component(wxs ${WXS} ABSOLUTE)
# wixl finds each File's Source in the current directory, and takes no absolute path.
file(RELATIVE_PATH scripts ${BIN_DIR} ${CMAKE_CURRENT_LIST_DIR}/scripts)
file(RELATIVE_PATH policy ${BIN_DIR} ${CMAKE_CURRENT_LIST_DIR}/../policy)
execute_process(
  COMMAND ${WIXL} --arch x64 -D Version=${VERSION} -D ProductCode=${product_code}
          -D Scripts=${scripts} -D Policy=${policy} -o ${output} ${wxs}
  WORKING_DIRECTORY ${BIN_DIR}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${output})
  message(FATAL_ERROR "wixl failed (${status}) building ${output}")
endif()
# wixl has no element for these tables either, so they are added to the package:
#
# The install folder belongs to administrators whatever INSTALLDIR is: SYSTEM and Administrators
# may change it, Users only read and run, and nothing is inherited from the parent (a folder at a
# drive root would otherwise let every user replace the service's program, run as LocalSystem,
# or write its link list). The service's program is SYSTEM's and Administrators' alone: a reader
# that opened it without sharing would make every start of the service fail.
#
# The folder is appended to the machine's PATH, so that a new command prompt finds corvane, and
# only that entry is taken out again when the front end is removed.
#
# The lock files corvane makes beside its list go with the front end, and so does a copy of the
# list an install kept for its rollback and never let go (rollback disabled, a crash); the list
# stays.
execute_process(
  COMMAND ${MSIBUILD} ${output} -i ${CMAKE_CURRENT_LIST_DIR}/MsiLockPermissionsEx.idt
          -i ${CMAKE_CURRENT_LIST_DIR}/Environment.idt -i ${CMAKE_CURRENT_LIST_DIR}/RemoveFile.idt
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${output})
  message(FATAL_ERROR "msibuild failed (${status}) adding the folder's permissions and PATH entry to ${output}")
endif()
# wixl writes an "expandable" RegistryValue as a plain string and escapes a "#%" given in its
# value, so the event source's message file is marked REG_EXPAND_SZ here, as Windows' own
# sources store it.
execute_process(
  COMMAND ${MSIBUILD} ${output} -q
          "UPDATE `Registry` SET `Value` = '#%[#CorvaneService.exe]' WHERE `Name` = 'EventMessageFile' AND `Value` = '[#CorvaneService.exe]'"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${output})
  message(FATAL_ERROR "msibuild failed (${status}) marking the event message file expandable in ${output}")
endif()
# wixl reads no Execute="rollback" or "commit": it writes such an action as an immediate one (1
# with the no-impersonation bit, 2049), which would run at once, in every install. Their types
# are set here: a DLL action (1), in the script (0x400), without impersonation (0x800), and run
# at a rollback (0x100) or a commit (0x200) only.
foreach(fix
    "UPDATE `CustomAction` SET `Type` = 3329 WHERE `Type` = 2049 AND (`Action` = 'RollBackLinks' OR `Action` = 'RequoteServicePath')"
    "UPDATE `CustomAction` SET `Type` = 3585 WHERE `Type` = 2049 AND `Action` = 'ForgetKeptLinks'")
  execute_process(COMMAND ${MSIBUILD} ${output} -q ${fix} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    file(REMOVE ${output})
    message(FATAL_ERROR "msibuild failed (${status}) marking the rollback and commit actions in ${output}")
  endif()
endforeach()
