# The unit and end-to-end tests that take longest (seconds under the sanitizers, from a
# run of every test) as their ctest costs, so that ctest starts them first. A name no build
# has is ignored.
foreach(_t IN ITEMS
    Unzip.EveryTruncationEndsWithUnexpectedEndOfFile:70
    Damaged.EveryFlippedBitOfPreambleAndHeader:50
    Damaged.EveryFlippedBitOfAMember:27
    ReplaceProgramParms.ValuesReachTheShellAsPlainText:20
    Unzip.MemberOver4GiB:18
    Inflate.DecodesRawStreamsFromPythonZlib:17
    Extract.FailedCommandsAreReported:17
    Zip.OutsideDecodersRestoreTheInput:16
    StubInterpreter.AsReadelfReadsItAndNoReadOutsideTheStub:13
    Relocate.ThroughTemporaryLinkIntoRoomyFilesystems:13
    Parallel.SameBytesAsOneThread:10)
  string(REPLACE ":" ";" _t ${_t})
  list(GET _t 0 _name)
  list(GET _t 1 _cost)
  set_tests_properties(${_name} PROPERTIES COST ${_cost})
endforeach()
