# kivo-spool-handler.pl: the in-process spool handler, run inside snmptrapd
# by its embedded Perl trap interface (NetSNMP::TrapReceiver). snmptrapd.conf
# loads it with
#
#   perl our $kivo_spool_directory = "/var/spool/kivo/";
#   perl do "/usr/share/kivo/kivo-spool-handler.pl";
#
# For every trap it writes one spool file into $kivo_spool_directory with the
# content that the compiled handler (kivo-spool-handler, run by traphandle)
# writes for the same trap: the host line and the transport line as snmptrapd
# gives them to traphandle, one "OID value" line per variable (numeric OIDs;
# a version 1 trap with the conversion variables that snmptrapd adds for
# traphandle), and "date YYYY-MM-DD HH:MM:SS", the local receive time.
#
# Names sort in arrival order: "trap-", the receive time in nanoseconds
# (fixed width), "-", snmptrapd's process id and an attempt number, the form
# the compiled handler uses. Within one process each name's time is later
# than the one before it, so two traps in the same microsecond keep their
# order; a restarted snmptrapd writes later times.
#
# No file is ever partly visible in the spool: the content goes to the
# staging file "<pid>" in a staging directory on the same file system (by
# default the hidden sibling ".<spool name>.staging" of the spool directory,
# made on first use; $kivo_staging_directory names another one), which is
# hard-linked into the spool under its final name (never replacing a file)
# and then removed. Nothing is left in the spool directory itself.
#
# Every file is readable by the spool directory's group (the daemon's),
# whatever snmptrapd's umask: it gets the mode 0640, and the group from the
# staging directory's setgid bit. A staging directory that the handler makes
# itself gets the spool directory's group and the setgid bit (mode 2750).
#
# It runs inside snmptrapd, which waits for it before reading the next trap:
# it starts no process and does a few system calls per trap. The host name is
# looked up as snmptrapd does for traphandle (not at all when snmptrapd runs
# with -n), and remembered for a minute so that a storm from one device costs
# one lookup. A failure is reported in snmptrapd's log and the trap is lost;
# snmptrapd goes on.
#
# A sender retransmits an INFORM until snmptrapd's acknowledgement reaches
# it; snmptrapd acknowledges and hands over every copy. The handler spools
# the first and drops a copy from the same transport address with the same
# request id for 30 seconds (at most 65,536 INFORMs are remembered; the
# oldest goes first). It counts the copies dropped in the file
# "informs-dropped" of the staging directory: one decimal number, replaced
# whole (rename), carried on by a restarted snmptrapd.
#
# The spool file holds no notification type and no community or SNMPv3
# user: the handler tells them in snmptrapd's log, once an hour for each
# sender address, version, type and name, so that a storm costs one line.
#
# snmptrapd runs the file again when it rereads its configuration (SIGHUP):
# the handler is registered once, and each run takes the settings afresh.
use strict;
use warnings;
no warnings 'redefine';

package KivoSpoolHandler;

use Fcntl qw(O_WRONLY O_CREAT O_TRUNC);
use POSIX qw(strftime);
use Socket qw(AF_INET AF_INET6 inet_aton inet_pton);
use Time::HiRes qw(gettimeofday);

my $kLogPrefix = 'kivo-spool-handler.pl: ';
# Bounds the retries on a name that another writer took.
my $kMaxAttempts = 100;
# Spool files: read by the spool directory's group. The staging directory:
# setgid, so that its files get its group.
my $kFileMode = 0640;
my $kStagingMode = 02750;
# How long a looked-up host name is used, and how many are kept.
my $kHostCacheSeconds = 60;
my $kHostCacheMax = 4096;
# How long an INFORM's request id is remembered, and how many are kept.
my $kInformWindowSeconds = 30;
my $kInformsMax = 65536;
my $kInformsDroppedFile = 'informs-dropped';
# How often each sender's notification type and name are told.
my $kSenderTellSeconds = 3600;
my $kSendersMax = 4096;
# snmptrapd's application store: the -n switch (numeric addresses).
my $kApplicationStore = 1;
my $kNumericHostsFlag = 16;

my $have_error_log = eval { require NetSNMP::agent; defined &NetSNMP::agent::errlog };
my $have_store = eval { require NetSNMP::default_store; 1 };

# The settings, and whether the handler is registered: package variables,
# so that they outlive a new run of this file.
our ($spool, $staging, $registered);
my ($last_seconds, $last_nanoseconds) = (0, -1);
my %host_cache;
# The INFORMs spooled in the window: key => expiry, and the keys in order.
my (%informs, @inform_order);
my $informs_dropped;
my %senders_told;

# One line in snmptrapd's log (its error level); on standard error when the
# logging call is not there.
sub report {
    my ($message) = @_;
    my $line = $kLogPrefix . $message . "\n";
    if (!$have_error_log || !eval { NetSNMP::agent::errlog(undef, $line); 1 }) {
        print STDERR $line;
    }
}

sub without_final_slashes {
    my ($path) = @_;
    $path =~ s{/+\z}{} if $path ne '/';
    return $path;
}

sub default_staging_directory {
    my ($directory) = @_;
    my ($parent, $name) = without_final_slashes($directory) =~ m{\A(.*?)/*([^/]*)\z};
    $parent = '.' if $parent eq '';
    return "$parent/.$name.staging";
}

# The receive time, later than the one before it in this process.
sub receive_time {
    my ($seconds, $microseconds) = gettimeofday();
    my $nanoseconds = $microseconds * 1000;
    if ($seconds < $last_seconds
        || ($seconds == $last_seconds && $nanoseconds <= $last_nanoseconds)) {
        ($seconds, $nanoseconds) = ($last_seconds, $last_nanoseconds + 1);
        if ($nanoseconds >= 1_000_000_000) {
            ($seconds, $nanoseconds) = ($seconds + 1, 0);
        }
    }
    ($last_seconds, $last_nanoseconds) = ($seconds, $nanoseconds);
    return ($seconds, $nanoseconds);
}

sub numeric_hosts {
    return 0 unless $have_store;
    my $numeric = eval {
        NetSNMP::default_store::netsnmp_ds_get_boolean($kApplicationStore, $kNumericHostsFlag);
    };
    return $numeric ? 1 : 0;
}

sub look_up_host {
    my ($address) = @_;
    $address =~ s/%.*//;
    my $packed = $address =~ /:/ ? inet_pton(AF_INET6, $address) : inet_aton($address);
    return undef unless defined $packed;
    my $name = gethostbyaddr($packed, $address =~ /:/ ? AF_INET6 : AF_INET);
    return $name;
}

# The host line: what traphandle gets as the sender's name.
sub host_line {
    my ($transport) = @_;
    return $transport if numeric_hosts();
    my ($address) = $transport =~ /\[([^\]]*)\]/;
    return '<UNKNOWN>' unless defined $address;
    my $now = time;
    my $cached = $host_cache{$address};
    if (!$cached || $cached->[1] < $now) {
        %host_cache = () if keys %host_cache >= $kHostCacheMax;
        $cached = $host_cache{$address} = [look_up_host($address), $now + $kHostCacheSeconds];
    }
    return defined $cached->[0] ? $cached->[0] : '<UNKNOWN>';
}

sub numeric_oid {
    my ($oid) = @_;
    return '.' . join('.', $oid->to_array());
}

# d:h:mm:ss.cc, the short form of a time in hundredths of a second.
sub short_ticks {
    my ($ticks) = @_;
    my $centiseconds = $ticks % 100;
    my $seconds = int($ticks / 100);
    return sprintf('%d:%d:%02d:%02d.%02d', int($seconds / 86400), int($seconds / 3600) % 24,
                   int($seconds / 60) % 60, $seconds % 60, $centiseconds);
}

# The value as traphandle shows it. snmptrapd formats the values that it
# hands to this interface with their type names ("STRING: ", "Timeticks:
# (N) ...") and those for traphandle without them, with hex strings quoted
# and times in the short form.
sub value_text {
    my ($text, $type, $raw) = @_;
    if ($type == 6 && ref $raw && $raw->can('to_array')) {
        return numeric_oid($raw);
    }
    if ($type == 67 && $text =~ /\ATimeticks: \((\d+)\)/) {
        return short_ticks($1);
    }
    if ($type == 4) {
        return "\"$1\"" if $text =~ /\AHex-STRING: (.*)\z/s;
        $text =~ s/\ASTRING: //;
        return $text;
    }
    $text =~ s/\A(?:Opaque: )?[A-Za-z][A-Za-z0-9 -]*: //;
    return $text;
}

sub spool_content {
    my ($pdu, $variables, $seconds) = @_;
    my $transport = defined $pdu->{receivedfrom} ? $pdu->{receivedfrom} : '<UNKNOWN>';
    my $content = host_line($transport) . "\n" . $transport . "\n";
    for my $variable (@$variables) {
        $content .= numeric_oid($variable->[0]) . ' '
            . value_text($variable->[1], $variable->[2], $variable->[3]) . "\n";
    }
    return $content . 'date ' . strftime('%Y-%m-%d %H:%M:%S', localtime($seconds)) . "\n";
}

# Makes the staging directory with the spool directory's group and the
# setgid bit. The group is reported and left as it is when snmptrapd's user
# may not give it; another handler that made the directory first wins.
sub make_staging_directory {
    if (!mkdir($staging, 0700)) {
        return if $!{EEXIST};
        die "can't make staging directory $staging: $!\n";
    }
    my $group = (stat $spool)[5];
    if (defined $group && !chown(-1, $group, $staging)) {
        report("can't give staging directory $staging the group of $spool: $!");
    }
    chmod($kStagingMode, $staging) or die "can't make staging directory $staging setgid: $!\n";
}

sub open_staging_file {
    my ($path) = @_;
    my $file;
    return $file if sysopen($file, $path, O_WRONLY | O_CREAT | O_TRUNC, $kFileMode);
    return undef unless $!{ENOENT};
    make_staging_directory();
    return sysopen($file, $path, O_WRONLY | O_CREAT | O_TRUNC, $kFileMode) ? $file : undef;
}

# Writes content to the staging file; makes the staging directory when it is
# missing. Returns the staging path, or dies with the reason.
sub write_staging_file {
    my ($content) = @_;
    my $path = "$staging/$$";
    my $file = open_staging_file($path) or die "can't write staging file $path: $!\n";
    # The mode that sysopen gave is less snmptrapd's umask.
    if (!chmod($kFileMode, $file)) {
        my $reason = "$!";
        close $file;
        unlink $path;
        die "can't write staging file $path: $reason\n";
    }
    my $written = 0;
    while ($written < length $content) {
        my $count = syswrite($file, $content, length($content) - $written, $written);
        if (!defined $count) {
            next if $!{EINTR};
            my $reason = "$!";
            close $file;
            unlink $path;
            die "can't write staging file $path: $reason\n";
        }
        $written += $count;
    }
    if (!close $file) {
        my $reason = "$!";
        unlink $path;
        die "can't write staging file $path: $reason\n";
    }
    return $path;
}

# Links the staging file in under a free name that sorts by time.
sub publish {
    my ($staged, $seconds, $nanoseconds) = @_;
    for my $attempt (0 .. $kMaxAttempts - 1) {
        my $name = sprintf('trap-%010d%09d-%d-%u', $seconds, $nanoseconds, $$, $attempt);
        my $path = "$spool/$name";
        if (link $staged, $path) {
            unlink $staged;
            return;
        }
        next if $!{EEXIST};
        my $reason = "$!";
        unlink $staged;
        die "can't write spool file $path: $reason\n";
    }
    unlink $staged;
    die "can't find a free spool file name in $spool\n";
}

# Forgets the INFORMs whose window has passed, and the oldest beyond the cap.
sub forget_informs {
    my ($now) = @_;
    while (@inform_order
           && ($informs{$inform_order[0]} <= $now || @inform_order >= $kInformsMax)) {
        delete $informs{shift @inform_order};
    }
}

# The key of an INFORM: its transport addresses and request id; undef for a
# trap.
sub inform_key {
    my ($pdu) = @_;
    my $type = $pdu->{notificationtype};
    return undef unless defined $type && $type eq 'INFORM' && defined $pdu->{requestid};
    my $from = defined $pdu->{receivedfrom} ? $pdu->{receivedfrom} : '';
    return "$from $pdu->{requestid}";
}

# True for a copy of an INFORM spooled within the window.
sub repeated_inform {
    my ($key) = @_;
    return 0 unless defined $key;
    forget_informs(time);
    return exists $informs{$key};
}

# Remembers a spooled INFORM for the window.
sub remember_inform {
    my ($key) = @_;
    return unless defined $key;
    my $now = time;
    forget_informs($now);
    $informs{$key} = $now + $kInformWindowSeconds;
    push @inform_order, $key;
}

# Adds one to the count of dropped copies; a restarted snmptrapd goes on
# from the count in the file.
sub count_dropped_inform {
    my $path = "$staging/$kInformsDroppedFile";
    if (!defined $informs_dropped) {
        $informs_dropped = 0;
        if (open my $file, '<', $path) {
            my $line = <$file>;
            $informs_dropped = $1 if defined $line && $line =~ /\A(\d+)/;
            close $file;
        }
    }
    ++$informs_dropped;
    my $temporary = "$path.$$";
    my $file = open_staging_file($temporary) or die "can't write $temporary: $!\n";
    my $written = print $file "$informs_dropped\n";
    if (!close($file) || !$written || !rename($temporary, $path)) {
        my $reason = "$!";
        unlink $temporary;
        die "can't write $path: $reason\n";
    }
}

# Tells the sender's notification type and community or user, once an hour
# for each sender address, version, type and name.
sub tell_sender {
    my ($pdu) = @_;
    my $transport = defined $pdu->{receivedfrom} ? $pdu->{receivedfrom} : '<UNKNOWN>';
    my ($address) = $transport =~ /\[([^\]]*)\]/;
    my $version = defined $pdu->{version} ? $pdu->{version} : -1;
    my $type = defined $pdu->{notificationtype} ? $pdu->{notificationtype} : 'TRAP';
    my ($kind, $name) = $version == 3
        ? ('SNMPv3 user', $pdu->{securityName})
        : ($version == 0 ? 'SNMPv1 community' : 'SNMPv2c community', $pdu->{community});
    $name = '' unless defined $name;
    my $key = join("\0", defined $address ? $address : $transport, $version, $type, $name);
    my $now = time;
    return if $senders_told{$key} && $senders_told{$key} > $now;
    %senders_told = () if keys %senders_told >= $kSendersMax;
    $senders_told{$key} = $now + $kSenderTellSeconds;
    report("$type, $kind \"$name\", from $transport");
}

sub spool_trap {
    my ($pdu, $variables) = @_;
    if (!eval {
        tell_sender($pdu);
        my $inform = inform_key($pdu);
        if (repeated_inform($inform)) {
            count_dropped_inform();
        } else {
            my ($seconds, $nanoseconds) = receive_time();
            my $staged = write_staging_file(spool_content($pdu, $variables, $seconds));
            publish($staged, $seconds, $nanoseconds);
            remember_inform($inform);
        }
        1;
    }) {
        my $reason = $@ || "unknown failure\n";
        chomp $reason;
        report($reason);
    }
    return NetSNMP::TrapReceiver::NETSNMPTRAPD_HANDLER_OK();
}

sub start {
    my ($directory, $staging_directory) = @_;
    if (!defined $directory || $directory eq '') {
        report('$kivo_spool_directory is not set: no trap is written');
        return;
    }
    $spool = without_final_slashes($directory);
    $staging = defined $staging_directory && $staging_directory ne ''
        ? without_final_slashes($staging_directory)
        : default_staging_directory($directory);
    return if $registered;
    # By name, so that a new run of this file replaces what runs.
    $registered = NetSNMP::TrapReceiver::register('all', sub { KivoSpoolHandler::spool_trap(@_) })
        or report('registration with snmptrapd failed: no trap is written');
}

package main;

our ($kivo_spool_directory, $kivo_staging_directory);
KivoSpoolHandler::start($kivo_spool_directory, $kivo_staging_directory);

1;
