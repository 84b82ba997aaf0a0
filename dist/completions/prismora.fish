# fish completion for prismora; kept in step with "prismora --help": the
# install test compares them.

complete -c prismora -f -a '(__fish_complete_directories)'
complete -c prismora -l process -d 'Split the BMP files of each folder, without a window'
complete -c prismora -l red -x -d 'Name the red destination subfolder'
complete -c prismora -l green -x -d 'Name the green destination subfolder'
complete -c prismora -l blue -x -d 'Name the blue destination subfolder'
complete -c prismora -l jobs -x -a '(seq (nproc))' -d 'Split with N threads'
complete -c prismora -l recursive -d 'Also split the files of every subfolder'
complete -c prismora -l update -d 'Pass over sources whose outputs are up to date'
complete -c prismora -l output -x -a '(__fish_complete_directories)' -d 'Put the outputs under this folder'
complete -c prismora -l watch -d 'Keep splitting what arrives in the folders'
complete -c prismora -l verbose -d 'List each file and its result on standard output'
complete -c prismora -s h -l help -d 'Show the help and exit'
complete -c prismora -l version -d 'Show the version and exit'
